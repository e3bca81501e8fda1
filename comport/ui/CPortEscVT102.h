// The escape-code parser of the extended terminal: the VT100 parser's
// sequences and those of a VT102 with ANSI colours that today's serial
// consoles send (scroll regions, insert and delete, erasing parts of lines
// and screens, absolute cursor columns and rows, character sets), parsed as
// ECMA-48 frames them, so that no sequence ever prints: a control sequence
// ends at any final byte and may carry a private marker and intermediate
// bytes, an escape sequence may carry intermediates, and the strings (OSC,
// DCS, APC, PM, SOS) are taken whole up to BEL or ST.
#pragma once

#include "CPortEsc.h"

// The kinds it adds follow the 36 of the VT100 parser in TEscapeCode (the
// list in CPortEscCodes.h).

class TEscapeCodesVT102 final : public TEscapeCodesVT100 {
public:
  // As a VT102 does, a control character inside a sequence is carried out
  // at once and the sequence goes on; ESC starts it anew, CAN and SUB end
  // it. (The VT100 parser takes such bytes into the sequence.)
  TEscapeResult ProcessChar(char Ch) override {
    if (FState == sGround) {
      if (Ch != 27) {
        LastChar = Ch;
        return erChar;
      }
      SequenceText.clear();
      FState = sEscape;
      return erNothing;
    }
    return Step(Ch);
  }
  // Goes on with the sequence under way through the bytes of text, as
  // ProcessChar would one by one, until it ends (erCode, or erChar for a
  // control character inside it) or text does (erNothing); taken says how
  // many bytes it used.
  TEscapeResult ContinueSequence(const char* text, std::size_t count, std::size_t& taken);
  std::string EscCodeToStr(TEscapeCode Code, const TStrings* Params) override;

  // The private marker ('<', '=', '>' or '?') and the intermediate bytes of
  // the last control sequence (0 and empty when it had none).
  char PrivateMarker() const { return FMarker; }
  std::string_view Intermediates() const { return FIntermediates; }

protected:
  // Every ";" separates, so a parameter may be empty: it stands for the
  // sequence's default ("ESC[;4m" is 0 and 4, "ESC[;5H" row 1, column 5).
  void SplitParameters(TStrings& params) const override;

private:
  enum TState : std::uint8_t { sGround, sEscape, sEscapeIntermediate, sCsi, sString, sStringEscape };
  [[gnu::noinline]] TEscapeResult Step(char Ch);
  TEscapeResult End(TEscapeCode code) {
    LastCode = code;
    FState = sGround;
    return erCode;
  }
  void Add(char Ch);
  TEscapeCode DetectEscape();
  TEscapeCode DetectCsi();
  // The kind of a control sequence whose parameters are in Parameters, by
  // its final byte and its first parameter byte (a private marker or not).
  TEscapeCode DecideCsi(char final, char marker);
  // The common control sequence whole in text ("[", parameters, a final
  // byte), its parameters read as it is scanned; false when it is not one.
  bool QuickCsi(const char* text, std::size_t count, std::size_t& taken);
  TEscapeCode DetectString();

  TState FState = sGround;
  bool FIntermediateSeen = false;  // a control sequence's parameters are over
  bool FMalformed = false;         // a parameter byte after an intermediate, a byte beyond ASCII
  std::size_t FLength = 0;         // the bytes of the sequence, also those beyond the bound
  char FMarker = 0;
  std::string FIntermediates;
};
