#pragma once

#include <optional>

namespace dorvex::core {

// How a key change's journal is judged: its vault was re-keyed when the journal is marked so,
// or when the vault has committed past the generation it had when the journal was written.
[[nodiscard]] inline bool journalShowsRekeyed(bool marked, unsigned long long generationAtStart,
                                              std::optional<unsigned long long> currentGeneration)
{
    return marked || (currentGeneration && *currentGeneration > generationAtStart);
}

}  // namespace dorvex::core
