#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace dorvex::test {

inline QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(f.write(bytes), bytes.size());
}

inline unsigned modeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0u;
}

// The code as a person might type it: groups of four split by spaces and hyphens.
inline QString typedInGroups(const QString& code) {
    QString typed;
    for (qsizetype i = 0; i < code.size(); ++i) {
        if (i && i % 4 == 0) typed += (i % 8) ? QStringLiteral(" ") : QStringLiteral("-");
        typed += code[i];
    }
    return typed;
}

}  // namespace dorvex::test
