#include "core/nearest.h"

#include <algorithm>

#include "core/zostring.h"

int EditDistance(const std::string& a, const std::string& b) {
    const size_t n = a.size();
    const size_t m = b.size();
    // Three rows of the optimal-string-alignment table.
    std::vector<int> before(m + 1), prev(m + 1), cur(m + 1);
    for (size_t j = 0; j <= m; j++) prev[j] = int(j);
    for (size_t i = 1; i <= n; i++) {
        cur[0] = int(i);
        for (size_t j = 1; j <= m; j++) {
            const bool same = LoCase(a[i - 1]) == LoCase(b[j - 1]);
            int d = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (same ? 0 : 1)});
            if (i > 1 && j > 1 && LoCase(a[i - 1]) == LoCase(b[j - 2]) &&
                LoCase(a[i - 2]) == LoCase(b[j - 1]))
                d = std::min(d, before[j - 2] + 1);
            cur[j] = d;
        }
        before.swap(prev);
        prev.swap(cur);
    }
    return prev[m];
}

const char* NearestName(const std::string& word, const std::vector<const char*>& names) {
    if (word.empty()) return nullptr;
    const int limit = std::max(1, std::min(3, int(word.size()) / 3));
    const char* best = nullptr;
    int bestDistance = limit + 1;
    for (const char* name : names) {
        const int d = EditDistance(word, name);
        if (d < bestDistance) {
            best = name;
            bestDistance = d;
        }
    }
    return best;
}
