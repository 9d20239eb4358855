#include "app/Lexicon.h"

namespace tilo {

bool WildcardMatch(const std::string& Word, const std::string& Garbled) {
    if (Word.size() != Garbled.size()) return false;
    std::size_t marks = 0;
    for (char c : Garbled)
        if (c == '~') ++marks;
    if (marks >= Garbled.size() / 2) return false;
    std::size_t same = 0;
    for (std::size_t i = 0; i < Garbled.size(); ++i)
        if (Word[i] == Garbled[i]) ++same;
    return same == Garbled.size() - marks;
}

std::string LookupLexicon(const std::string& Candidate, TWordSource& Words) {
    std::string matches;
    Words.ForEachWord([&](const std::string& Word) {
        if (Word.size() == Candidate.size() && WildcardMatch(Word, Candidate)) {
            if (!matches.empty()) matches += '|';
            matches += Word;
        }
    });
    return matches;
}

std::string TLexicon::Lookup(const std::string& Candidate, TWordSource& Words) {
    if (!FLoaded) {
        FByLength.clear();
        Words.ForEachWord([&](const std::string& Word) {
            if (Word.size() >= FByLength.size()) FByLength.resize(Word.size() + 1);
            FByLength[Word.size()].push_back(Word);
        });
        FLoaded = true;
    }
    std::string matches;
    if (Candidate.size() >= FByLength.size()) return matches;
    for (const std::string& word : FByLength[Candidate.size()]) {
        if (WildcardMatch(word, Candidate)) {
            if (!matches.empty()) matches += '|';
            matches += word;
        }
    }
    return matches;
}

void TLexicon::Drop() {
    FByLength.clear();
    FLoaded = false;
}

std::vector<std::string> GarbledCandidates(const std::string& Text) {
    std::vector<std::string> candidates;
    std::string word;
    const auto take = [&] {
        if (word.find('~') == std::string::npos) {
            word.clear();
            return;
        }
        if (word.size() >= 5 && word.size() <= 16) {
            candidates.push_back(word);
        } else {
            std::size_t at = 0;
            while (at <= word.size()) {
                std::size_t end = word.find('~', at);
                if (end == std::string::npos) end = word.size();
                if (end - at > 4) candidates.push_back(word.substr(at, end - at));
                at = end + 1;
            }
        }
        word.clear();
    };
    for (char c : Text) {
        if ((c >= 'A' && c <= 'Z') || c == '~') {
            word += c;
        } else {
            take();
        }
    }
    take();
    return candidates;
}

std::vector<TGarbledCorrection> CorrectGarbledText(std::string& Text, const TLexiconLookup& Lookup) {
    std::vector<TGarbledCorrection> made;
    for (const std::string& candidate : GarbledCandidates(Text)) {
        std::string matches = Lookup(candidate);
        if (matches.empty()) continue;
        const std::size_t at = Text.find(candidate);
        if (at != std::string::npos) Text.replace(at, candidate.size(), "[" + matches + "]");
        made.push_back({candidate, std::move(matches)});
    }
    return made;
}

}  // namespace tilo
