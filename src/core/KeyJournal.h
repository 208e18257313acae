#pragma once

#include <QString>

#include <optional>

namespace dorvex::core {

// How a key change's journal is judged: its vault was re-keyed when the journal is marked so,
// or when the vault has committed past the generation it had when the journal was written.
[[nodiscard]] inline bool journalShowsRekeyed(bool marked, unsigned long long generationAtStart,
                                              std::optional<unsigned long long> currentGeneration)
{
    return marked || (currentGeneration && *currentGeneration > generationAtStart);
}

struct JournalRetirement {
    bool erased = false;  // its bytes were overwritten (or there was nothing to erase)
    bool gone = false;    // durably, nothing at the path opens as a journal any more
};

// Puts a finished journal out of use for good, so that no later start can commit or judge it
// again: securely erased, else removed, else replaced by a file that never opens, each made
// durable by a sync of its folder.
[[nodiscard]] JournalRetirement retireJournal(const QString& path);

}  // namespace dorvex::core
