#pragma once
// A worker program stood in for by a shell script in a folder of the test's own, beside the
// files of bytes it sends: for the tests of what the component does with a worker that greets
// wrongly, answers garbage, goes silent or dies.
#include "support/TestTools.h"
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

/// Writes `bytes` as the file `name` in `dir`.
inline void writeFakeFile(const QTemporaryDir& dir, const char* name, const QByteArray& bytes) {
    EXPECT_TRUE(writeContents(dir.filePath(QLatin1String(name)), bytes)) << name;
}

/// The program "worker" in `dir`: a shell script that runs `body` with `dir` as its folder.
inline QString writeFakeWorker(const QTemporaryDir& dir, const QString& body) {
    writeFakeFile(dir, "worker",
                  (QStringLiteral("#!/bin/sh\ncd '%1'\n").arg(dir.path()) + body).toUtf8());
    const QString program = dir.filePath(QStringLiteral("worker"));
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return program;
}
