// Answers read over a line that may change them on the way. The protocol
// carries no checksum, so an answer is believed only once others confirm
// it: the window's Load and every read of the command line ask again until
// they do.
#pragma once

#include <string>
#include <vector>

// How many answers a read asks for at most before the line is blamed. On a
// line that flips one bit in 500 bytes, six confirm every load image and
// leave about one read in 100,000 wrong (bench/noise_bench measures it).
constexpr int MostAnswers = 6;

// The answer the answers (all of one length) agree on, or false while they
// do not yet. Each byte is settled when the value most answers hold there
// is held by at least two answers more than any other value: two of two,
// three of four, four of five. Two of three is not enough: two answers that
// share one flipped bit would win, which on a line flipping one bit in 100
// bytes happens once in 70 load images.
bool ConfirmAnswers(const std::vector<std::string>& answers, std::string& confirmed);

// "the line garbles the module's answers: 6 load images, none confirmed"
// (what is an answer's name: "load image"), and, when the module then gave
// none, "; then the module did not answer".
std::string UnconfirmedText(int answers, const std::string& what, bool thenNone = false);
