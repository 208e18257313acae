#pragma once

#include <QString>

namespace dorvex::vault {

// Where a vault file is kept while it is securely erased: the vault path with ".deleting"
// appended. Only what was a vault file is ever renamed there, so an erase that a crash cut
// short is finished from this name later, although the overwritten file no longer looks like
// a vault.
[[nodiscard]] QString erasingPathFor(const QString& vaultPath);

enum class VaultFileOutcome {
    Done,       // erased (or nothing was there), or moved
    NotAVault,  // not a vault file, or reached through a symbolic link: left alone
    Locked,     // another opener holds the vault's lock
    Failed,     // nothing changed that matters: the vault is whole at its place (see below)
};

// Securely erases the vault file at path while holding its lock: an erase left unfinished is
// finished first; then the file is renamed to its erasing name, the rename made durable, and
// the file overwritten and removed. Nothing at path counts as erased. On Failed the vault may
// be at its erasing name, possibly partly overwritten; the next call finishes it.
[[nodiscard]] VaultFileOutcome eraseVaultFile(const QString& path);

// Where the vault's bytes are left after a failed eraseVaultFile: path, or its erasing name.
[[nodiscard]] QString unerasedVaultPath(const QString& path);

struct VaultMoveResult {
    VaultFileOutcome outcome = VaultFileOutcome::Failed;
    bool copied = false;         // across file systems: a checked copy, then the source erased
    bool sourceRemains = false;  // Done, but the source could not be erased
};

// Moves the vault file at source (a confined vault path) to destination, whose folder exists,
// holding the source's lock throughout. A rename where both share a file system. Otherwise a
// copy under the destination's provisional name (creatingPathFor), synced, given its name
// without replacing anything and its folder synced, then checked against the source (size,
// vault id, generation); only then is the source erased. A copy that fails or differs is
// removed, so a failed move leaves the vault at the source and nothing at the destination.
[[nodiscard]] VaultMoveResult moveVaultFile(const QString& source, const QString& destination);

// Whether the files hold the same vault at the same state: equal sizes, vault ids and
// generations, as a finished copy does.
[[nodiscard]] bool sameVaultState(const QString& a, const QString& b);

}  // namespace dorvex::vault
