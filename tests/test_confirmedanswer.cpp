// When answers over a noisy line are believed: the rule, its edges, and
// what it does on lines that flip bits as a long cable beside a motor drive
// does (the simulator's noise, here without a line).
#include "ConfirmedAnswer.h"
#include "DeviceRecords.h"

#include <gtest/gtest.h>

#include <random>

TEST(ConfirmedAnswer, AnAnswerIsBelievedOnceOthersOutvoteEveryDoubtByTwo) {
  std::string confirmed;
  EXPECT_FALSE(ConfirmAnswers({}, confirmed));
  EXPECT_FALSE(ConfirmAnswers({"abc"}, confirmed));  // one answer confirms nothing
  EXPECT_TRUE(ConfirmAnswers({"abc", "abc"}, confirmed));
  EXPECT_EQ(confirmed, "abc");
  // Two of three is not enough, however the bytes fall; three of four is.
  EXPECT_FALSE(ConfirmAnswers({"abc", "abd", "abc"}, confirmed));
  EXPECT_TRUE(ConfirmAnswers({"abc", "abd", "abc", "abc"}, confirmed));
  EXPECT_EQ(confirmed, "abc");
  // Each byte by itself: no answer of the four is right, their vote is.
  EXPECT_TRUE(ConfirmAnswers({"xbcd", "aycd", "abzd", "abcd", "abcw"}, confirmed));
  EXPECT_EQ(confirmed, "abcd");
  // A doubt at one byte holds the whole answer back...
  EXPECT_FALSE(ConfirmAnswers({"abcd", "abce", "abcd", "abcf", "abce"}, confirmed));
  // ...and every byte value counts, zero and 255 among them.
  const std::string zero(3, '\0'), high(3, '\xFF');
  EXPECT_TRUE(ConfirmAnswers({zero, high, zero, zero}, confirmed));
  EXPECT_EQ(confirmed, zero);
  EXPECT_FALSE(ConfirmAnswers({zero, high, high, zero}, confirmed));
  EXPECT_EQ(UnconfirmedText(6, "load image"), "the line garbles the module's answers: 6 load images, none confirmed");
  EXPECT_EQ(UnconfirmedText(1, "MAC address answer", true),
            "the line garbles the module's answers: 1 MAC address answer, not confirmed; then the module did not answer");
}

// The load image's used bytes and the two address records, read through a
// line that flips one random bit of a byte with probability P, each read
// asking up to MostAnswers times: at one bit in 500 bytes every read is
// confirmed; at one in 100 almost every one; and none is confirmed wrong.
TEST(ConfirmedAnswer, NoisyLinesConfirmRightOrNotAtAll) {
  struct TLevel {
    double P;
    int LeastConfirmedOf1000;
  };
  std::mt19937 random(2026);
  std::uniform_real_distribution<double> chance(0, 1);
  std::uniform_int_distribution<int> bit(0, 7), value(0, 255);
  for (const TLevel level : {TLevel{0.002, 1000}, TLevel{0.01, 995}}) {
    for (const int size : {LoadImageUsedSize, 22, 7}) {
      int confirmedRight = 0, confirmedWrong = 0;
      for (int read = 0; read < 1000; ++read) {
        std::string truth(std::size_t(size), '\0');
        for (char& c : truth) c = char(value(random));
        std::vector<std::string> answers;
        std::string confirmed;
        while (int(answers.size()) < MostAnswers) {
          std::string answer = truth;
          for (char& c : answer)
            if (chance(random) < level.P) c = char(c ^ (1 << bit(random)));
          answers.push_back(answer);
          if (ConfirmAnswers(answers, confirmed)) {
            ++(confirmed == truth ? confirmedRight : confirmedWrong);
            break;
          }
        }
      }
      EXPECT_GE(confirmedRight, level.LeastConfirmedOf1000) << "P " << level.P << ", " << size << " bytes";
      EXPECT_EQ(confirmedWrong, 0) << "P " << level.P << ", " << size << " bytes";
    }
  }
}
