// The nearest known name to a mistyped word, for "did you mean" hints of the
// configuration loader and the command-line tools.
#pragma once

#include <string>
#include <vector>

// Edit distance of a and b: the fewest insertions, deletions, substitutions
// and swaps of two neighbouring characters that turn one into the other,
// comparing ASCII letters without regard to case. Pure; any thread.
int EditDistance(const std::string& a, const std::string& b);

// The name of names nearest to word (EditDistance), when it is near enough
// to be a likely typo: at most a third of word's length away, at least 1
// and at most 3 edits (a name that differs only in case is distance 0).
// Ties go to the earlier name. Returns nullptr when none is near enough or
// word is empty. Pure; any thread.
const char* NearestName(const std::string& word, const std::vector<const char*>& names);
