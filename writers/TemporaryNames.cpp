#include "writers/TemporaryNames.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace tempnames {

QString partName(const QString& fileName, uint32_t random) {
    return QLatin1Char('.') + fileName + QLatin1Char('.') + QString::number(random, 16) +
           QStringLiteral(".part");
}

QString stagedName(const QString& fileName, uint32_t random) {
    const QFileInfo info(fileName);
    const QString suffix = info.suffix();
    const QString stem = suffix.isEmpty() ? info.fileName() : info.completeBaseName();
    return QStringLiteral(".%1.%2.part").arg(stem).arg(random, 8, 16, QLatin1Char('0')) +
           (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
}

QString pdfPageImageName(int image) {
    return QStringLiteral("pag_") + QString::number(image) + QStringLiteral(".pdfimg");
}

bool isLeftover(const QString& fileName) {
    static const QRegularExpression names(
        QStringLiteral("^(\\..+\\.[0-9a-f]{1,8}\\.part|\\..+\\.[0-9a-f]{8}\\.part\\.[A-Za-z0-9]+|"
                       "pag_\\d+\\.pdfimg)$"));
    return names.match(fileName).hasMatch();
}

} // namespace tempnames
