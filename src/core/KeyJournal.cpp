#include "core/KeyJournal.h"

#include "core/AtomicFile.h"
#include "core/SecureErase.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>

namespace dorvex::core {

namespace {

enum class Presence { Absent, RegularFile, Other, Unknown };

Presence presenceOf(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT ? Presence::Absent : Presence::Unknown;
    return S_ISREG(st.st_mode) ? Presence::RegularFile : Presence::Other;
}

}  // namespace

JournalRetirement retireJournal(const QString& path)
{
    JournalRetirement result;
    Presence presence = presenceOf(path);
    // Only a regular file is erased; a link is never followed into the file it names.
    if (presence == Presence::RegularFile)
        result.erased = SecureErase::eraseFile(path);
    else
        result.erased = presence == Presence::Absent;
    presence = presenceOf(path);
    if (presence != Presence::Absent && AtomicFile::remove(path))
        presence = presenceOf(path);
    if (presence == Presence::Absent && AtomicFile::syncFolderOf(path)) {
        result.gone = true;
        return result;
    }
    // An empty file never opens as a sealed envelope.
    result.gone = AtomicFile::replace(path, QByteArrayView());
    return result;
}

}  // namespace dorvex::core
