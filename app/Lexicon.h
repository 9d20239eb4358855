// The correction of garbled words: a finished message's words that hold '~' (the
// decoder's mark for a character it could not decode) are looked up in the lexicon and,
// when words fit, bracketed with them ("[WORD|WORD]") before the message is stored.
//
// The lexicon comes in through TWordSource (the word table, first record to last).
// LookupLexicon scans it once per candidate; TLexicon holds it in memory, by length in
// table order, read at its first look-up and dropped when the table closes (Drop), and
// gives the same answer as the scan for every candidate.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tilo {

class TWordSource {
public:
    virtual ~TWordSource() = default;
    // Calls Visit with every word from the first record to the last.
    virtual void ForEachWord(const std::function<void(const std::string& Word)>& Visit) = 0;
};

// Word and Garbled of equal length: fewer '~' in Garbled than half its length (integer
// half), and Word equal to Garbled at every other position. Unequal lengths never match.
bool WildcardMatch(const std::string& Word, const std::string& Garbled);

// Every word of Candidate's length that WildcardMatch accepts, joined by "|" in table
// order; empty when none.
std::string LookupLexicon(const std::string& Candidate, TWordSource& Words);

class TLexicon {
public:
    // LookupLexicon's answer, from memory (reading Words first when not yet held).
    std::string Lookup(const std::string& Candidate, TWordSource& Words);
    void Drop();
    bool Loaded() const { return FLoaded; }

private:
    std::vector<std::vector<std::string>> FByLength;
    bool FLoaded = false;
};

// The words of Text the correction looks up, in order: after every character other than
// 'A'..'Z' and '~' has become a blank, each word holding '~' of 5 to 16 characters, and of
// a longer or shorter one every piece between its '~' longer than 4 characters.
std::vector<std::string> GarbledCandidates(const std::string& Text);

struct TGarbledCorrection {
    std::string Candidate, Matches;
    // The system log's line: "<candidate> corrected to <matches>".
    std::string LogLine() const { return Candidate + " corrected to " + Matches; }
};

using TLexiconLookup = std::function<std::string(const std::string& Candidate)>;

// Replaces, for each candidate in order that Lookup finds words for, its first
// occurrence in Text by "[" + matches + "]"; gives the corrections made.
std::vector<TGarbledCorrection> CorrectGarbledText(std::string& Text, const TLexiconLookup& Lookup);

}  // namespace tilo
