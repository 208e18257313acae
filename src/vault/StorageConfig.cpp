#include "vault/StorageConfig.h"

#include "core/SealedFile.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <limits>
#include <utility>
#include <vector>

namespace dorvex::vault {

namespace {

const QString kDefaultFileName = QStringLiteral("vault.drvx");

// Empty or missing gives 0; anything else must be plain unsigned decimal.
bool readUnsigned(const QJsonObject& object, const char* key, quint64& out)
{
    const QString text = object.value(QLatin1String(key)).toString();
    out = 0;
    if (text.isEmpty())
        return true;
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok, 10);
    if (!ok)
        return false;
    out = value;
    return true;
}

bool readSigned(const QJsonObject& object, const char* key, qint64& out)
{
    const QString text = object.value(QLatin1String(key)).toString();
    out = 0;
    if (text.isEmpty())
        return true;
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok, 10);
    if (!ok)
        return false;
    out = value;
    return true;
}

QJsonObject toJson(const StorageConfig::Settings& s)
{
    QJsonObject claim;
    claim.insert(QStringLiteral("diskNumber"), s.rawDiskClaim.diskNumber);
    claim.insert(QStringLiteral("claimedStartOffset"), QString::number(s.rawDiskClaim.claimedStartOffset));
    claim.insert(QStringLiteral("claimedLength"), QString::number(s.rawDiskClaim.claimedLength));
    claim.insert(QStringLiteral("sectorSize"), QString::number(s.rawDiskClaim.sectorSize));
    claim.insert(QStringLiteral("diskSerialHash"), QString::fromLatin1(s.rawDiskClaim.diskSerialHash.toBase64()));

    QJsonObject container;
    container.insert(QStringLiteral("overrideDirectory"), s.container.overrideDirectory);
    container.insert(QStringLiteral("overrideFileName"), s.container.overrideFileName);
    container.insert(QStringLiteral("hidden"), s.container.hidden);
    container.insert(QStringLiteral("deleteRestricted"), s.container.deleteRestricted);
    container.insert(QStringLiteral("pendingMigrateFromPath"), s.container.pendingMigrateFromPath);
    container.insert(QStringLiteral("pendingMigrateAttempts"), s.container.pendingMigrateAttempts);

    QJsonObject root;
    root.insert(QStringLiteral("backend"),
                s.backend == StorageBackend::RawDisk ? QStringLiteral("rawdisk") : QStringLiteral("container"));
    root.insert(QStringLiteral("rawDiskClaim"), claim);
    root.insert(QStringLiteral("container"), container);
    root.insert(QStringLiteral("maxVaultSizeBytes"), QString::number(s.maxVaultSizeBytes));
    root.insert(QStringLiteral("pendingDeletePath"), s.pendingDeletePath);
    root.insert(QStringLiteral("pendingDeleteAttempts"), s.pendingDeleteAttempts);
    root.insert(QStringLiteral("pendingDeleteRawDisk"), s.pendingDeleteRawDisk);
    root.insert(QStringLiteral("boundVaultId"), s.boundVaultId);
    root.insert(QStringLiteral("boundVaultIdRecorded"), s.boundVaultIdRecorded);
    return root;
}

// Fills every field it can; returns false when any value was malformed.
bool fromJson(const QJsonObject& root, StorageConfig::Settings& s)
{
    bool ok = true;
    s.backend = root.value(QStringLiteral("backend")).toString() == QStringLiteral("rawdisk")
                    ? StorageBackend::RawDisk
                    : StorageBackend::Container;

    const QJsonObject claim = root.value(QStringLiteral("rawDiskClaim")).toObject();
    s.rawDiskClaim.diskNumber = claim.value(QStringLiteral("diskNumber")).toInt(0);
    ok = readUnsigned(claim, "claimedStartOffset", s.rawDiskClaim.claimedStartOffset) && ok;
    ok = readUnsigned(claim, "claimedLength", s.rawDiskClaim.claimedLength) && ok;
    quint64 sector = 0;
    ok = readUnsigned(claim, "sectorSize", sector) && ok;
    if (sector > std::numeric_limits<quint32>::max()) {
        ok = false;
        sector = 0;
    }
    s.rawDiskClaim.sectorSize = static_cast<quint32>(sector);
    s.rawDiskClaim.diskSerialHash =
        QByteArray::fromBase64(claim.value(QStringLiteral("diskSerialHash")).toString().toLatin1());

    const QJsonObject container = root.value(QStringLiteral("container")).toObject();
    s.container.overrideDirectory = container.value(QStringLiteral("overrideDirectory")).toString();
    s.container.overrideFileName = container.value(QStringLiteral("overrideFileName")).toString();
    s.container.hidden = container.value(QStringLiteral("hidden")).toBool(false);
    s.container.deleteRestricted = container.value(QStringLiteral("deleteRestricted")).toBool(false);
    s.container.pendingMigrateFromPath = container.value(QStringLiteral("pendingMigrateFromPath")).toString();
    s.container.pendingMigrateAttempts = container.value(QStringLiteral("pendingMigrateAttempts")).toInt(0);

    qint64 maxSize = 0;
    ok = readSigned(root, "maxVaultSizeBytes", maxSize) && ok;
    s.maxVaultSizeBytes = maxSize < 0 ? 0 : maxSize;
    s.pendingDeletePath = root.value(QStringLiteral("pendingDeletePath")).toString();
    s.pendingDeleteAttempts = root.value(QStringLiteral("pendingDeleteAttempts")).toInt(0);
    s.pendingDeleteRawDisk = root.value(QStringLiteral("pendingDeleteRawDisk")).toBool(false);
    s.boundVaultId = root.value(QStringLiteral("boundVaultId")).toString();
    s.boundVaultIdRecorded = root.value(QStringLiteral("boundVaultIdRecorded")).toBool(false);

    if (s.backend == StorageBackend::RawDisk && claim.isEmpty())
        ok = false;
    return ok;
}

}  // namespace

StorageConfig::StorageConfig(QString settingsPath, QString machineId, unsigned long long generation)
    : settingsPath_(std::move(settingsPath)), machineId_(std::move(machineId)), generation_(generation)
{
}

QByteArray StorageConfig::associatedData(const QString& machineId, unsigned long long generation)
{
    QByteArray ad = machineId.toUtf8();
    for (int i = 0; i < 8; ++i)
        ad.append(static_cast<char>((generation >> (8 * i)) & 0xFFu));
    return ad;
}

bool StorageConfig::readSettings(Settings& settings) const
{
    const core::SealedReadResult read =
        core::SealedFile::readEncrypted(settingsPath_, core::SealedKeySource::Load,
                                        associatedData(machineId_, generation_), true);
    if (read.status != core::SealedReadStatus::Ok)
        return false;
    return fromJson(read.object, settings);
}

bool StorageConfig::writeSettings(const Settings& settings) const
{
    return core::SealedFile::writeEncrypted(settingsPath_, toJson(settings), associatedData(machineId_, generation_));
}

bool StorageConfig::loadForWrite(Settings& settings) const
{
    settings = Settings{};
    if (!QFile::exists(settingsPath_))
        return true;
    return readSettings(settings);
}

bool StorageConfig::isCorrupted() const
{
    if (!QFile::exists(settingsPath_))
        return false;
    Settings ignored;
    return !readSettings(ignored);
}

namespace {
StorageConfig::Settings readOrDefaults(const StorageConfig& config, bool* ok = nullptr)
{
    StorageConfig::Settings s;
    const bool read = config.readSettings(s);
    if (ok != nullptr)
        *ok = read;
    return s;
}
}  // namespace

StorageBackend StorageConfig::backend() const
{
    bool ok = false;
    const Settings s = readOrDefaults(*this, &ok);
    return ok ? s.backend : StorageBackend::Container;
}

StorageConfig::RawDiskClaim StorageConfig::rawDiskClaim() const { return readOrDefaults(*this).rawDiskClaim; }
StorageConfig::ContainerConfig StorageConfig::containerConfig() const { return readOrDefaults(*this).container; }
qint64 StorageConfig::maxVaultSizeBytes() const { return readOrDefaults(*this).maxVaultSizeBytes; }
QString StorageConfig::pendingDeletePath() const { return readOrDefaults(*this).pendingDeletePath; }
int StorageConfig::pendingDeleteAttempts() const { return readOrDefaults(*this).pendingDeleteAttempts; }
bool StorageConfig::pendingDeleteRawDisk() const { return readOrDefaults(*this).pendingDeleteRawDisk; }
QString StorageConfig::boundVaultId() const { return readOrDefaults(*this).boundVaultId; }
bool StorageConfig::boundVaultIdRecorded() const { return readOrDefaults(*this).boundVaultIdRecorded; }

template <typename Change>
bool StorageConfig::update(Change&& change)
{
    Settings s;
    if (!loadForWrite(s))
        return false;
    change(s);
    return writeSettings(s);
}

bool StorageConfig::setContainerConfig(const ContainerConfig& config)
{
    if (!config.overrideDirectory.isEmpty() && !isValidOverrideDirectory(config.overrideDirectory))
        return false;
    if (!config.overrideFileName.isEmpty() && !isValidOverrideFileName(config.overrideFileName))
        return false;
    return update([&](Settings& s) { s.container = config; });
}

bool StorageConfig::setContainerBackend()
{
    return update([](Settings& s) {
        s.backend = StorageBackend::Container;
        s.rawDiskClaim = RawDiskClaim{};
    });
}

bool StorageConfig::setRawDiskClaim(const RawDiskClaim& claim)
{
    return update([&](Settings& s) {
        s.backend = StorageBackend::RawDisk;
        s.rawDiskClaim = claim;
    });
}

bool StorageConfig::setMaxVaultSizeBytes(qint64 bytes)
{
    return update([&](Settings& s) { s.maxVaultSizeBytes = bytes; });
}

bool StorageConfig::setPendingDeletePath(const QString& path)
{
    return update([&](Settings& s) { s.pendingDeletePath = path; });
}

bool StorageConfig::setPendingDeleteAttempts(int attempts)
{
    return update([&](Settings& s) { s.pendingDeleteAttempts = attempts; });
}

bool StorageConfig::setPendingDeleteRawDisk(bool rawDisk)
{
    return update([&](Settings& s) { s.pendingDeleteRawDisk = rawDisk; });
}

bool StorageConfig::setBoundVaultId(const QString& vaultId)
{
    return update([&](Settings& s) {
        s.boundVaultId = vaultId;
        s.boundVaultIdRecorded = true;
    });
}

bool StorageConfig::clearBoundVaultId()
{
    return update([](Settings& s) {
        s.boundVaultId.clear();
        s.boundVaultIdRecorded = false;
    });
}

bool StorageConfig::clearPendingDelete(bool releaseBinding)
{
    return update([releaseBinding](Settings& s) {
        s.pendingDeletePath.clear();
        s.pendingDeleteAttempts = 0;
        if (releaseBinding) {
            s.boundVaultId.clear();
            s.boundVaultIdRecorded = false;
            s.container.pendingMigrateFromPath.clear();
            s.container.pendingMigrateAttempts = 0;
        }
    });
}

bool StorageConfig::rebind(const QString& machineId, unsigned long long generation)
{
    Settings s;
    if (!loadForWrite(s))
        return false;
    machineId_ = machineId;
    generation_ = generation;
    return writeSettings(s);
}

bool StorageConfig::adoptBinding(unsigned long long lowest, unsigned long long highest)
{
    if (highest < lowest || highest - lowest >= kPendingBindingWindow || !QFile::exists(settingsPath_))
        return false;
    std::vector<QByteArray> candidates;
    for (unsigned long long g = lowest;; ++g) {
        candidates.push_back(associatedData(machineId_, g));
        if (g == highest)
            break;
    }
    int matched = -1;
    const core::SealedReadResult read =
        core::SealedFile::readEncryptedWithAny(settingsPath_, core::SealedKeySource::Load, candidates, &matched);
    Settings ignored;
    if (read.status != core::SealedReadStatus::Ok || matched < 0 || !fromJson(read.object, ignored))
        return false;
    generation_ = lowest + static_cast<unsigned long long>(matched);
    return true;
}

bool StorageConfig::isValidOverrideFileName(const QString& name)
{
    if (name.isEmpty() || name == QStringLiteral(".") || name == QStringLiteral(".."))
        return false;
    return !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

bool StorageConfig::isValidOverrideDirectory(const QString& path)
{
    if (path.isEmpty() || path.startsWith(QStringLiteral("\\\\")) || path.startsWith(QStringLiteral("//")))
        return false;
    const QStringList parts = QDir::cleanPath(path).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.contains(QStringLiteral("..")))
        return false;
    return !QDir::isRelativePath(path);
}

QString StorageConfig::resolveContainerPath(const QString& defaultDirectory) const
{
    bool ok = false;
    const Settings read = readOrDefaults(*this, &ok);
    const ContainerConfig c = ok ? read.container : ContainerConfig{};
    const QString directory =
        !c.overrideDirectory.isEmpty() && isValidOverrideDirectory(c.overrideDirectory) ? c.overrideDirectory
                                                                                         : defaultDirectory;
    const QString name =
        !c.overrideFileName.isEmpty() && isValidOverrideFileName(c.overrideFileName) ? c.overrideFileName
                                                                                      : kDefaultFileName;
    return directory + QLatin1Char('/') + name;
}

QString StorageConfig::currentContainerPath(const QString& defaultDirectory) const
{
    bool ok = false;
    const Settings read = readOrDefaults(*this, &ok);
    if (ok && !read.container.pendingMigrateFromPath.isEmpty())
        return read.container.pendingMigrateFromPath;
    return resolveContainerPath(defaultDirectory);
}

}  // namespace dorvex::vault
