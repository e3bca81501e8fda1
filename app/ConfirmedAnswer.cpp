#include "ConfirmedAnswer.h"

#include <array>

bool ConfirmAnswers(const std::vector<std::string>& answers, std::string& confirmed) {
  if (answers.size() < 2) return false;
  const std::size_t size = answers.front().size();
  std::string vote(size, '\0');
  for (std::size_t at = 0; at < size; ++at) {
    std::array<int, 256> count{};
    int best = 0, second = 0;
    unsigned char winner = 0;
    for (const std::string& answer : answers) {
      const unsigned char b = static_cast<unsigned char>(answer[at]);
      const int n = ++count[b];
      if (b == winner || n > best) {
        if (b != winner) second = best;
        best = n;
        winner = b;
      } else if (n > second) {
        second = n;
      }
    }
    if (best - second < 2) return false;
    vote[at] = char(winner);
  }
  confirmed = vote;
  return true;
}

std::string UnconfirmedText(int answers, const std::string& what, bool thenNone) {
  return "the line garbles the module's answers: " + std::to_string(answers) + " " + what + (answers == 1 ? ", not" : "s, none") +
         " confirmed" + (thenNone ? "; then the module did not answer" : "");
}
