#include "component_base/ComponentErrors.h"

#include <cerrno>

namespace componentError {

QString wording(Code code) {
    QString text;
    switch (code) {
    case None:
        break;
    case NoSourceManager:
        text = QStringLiteral("Gestore delle sorgenti non avviato");
        break;
    case NoSource:
        text = QStringLiteral("Nessuna sorgente disponibile");
        break;
    case SourceNotOpen:
        text = QStringLiteral("Sorgente non aperta");
        break;
    case Busy:
        text = QStringLiteral("Acquisizione in corso");
        break;
    case NotSupported:
        text = QStringLiteral("Funzione non supportata dalla sorgente");
        break;
    case BadValue:
        text = QStringLiteral("Valore non valido");
        break;
    case ImageLimit:
        text = QStringLiteral("Raggiunto il numero massimo di immagini");
        break;
    case BadIndex:
        text = QStringLiteral("Indice immagine non valido");
        break;
    case WriteFailed:
        text = QStringLiteral("Impossibile scrivere il file");
        break;
    case ReadFailed:
        text = QStringLiteral("Impossibile rileggere l'immagine acquisita");
        break;
    case OpenFailed:
        text = QStringLiteral("Impossibile aprire la sorgente");
        break;
    case LayerFailed:
        text = QStringLiteral("Gestore di scanner non avviato");
        break;
    case DiskFull:
        text = QStringLiteral("Spazio su disco esaurito");
        break;
    case FileTooLarge:
        text = QStringLiteral("File troppo grande");
        break;
    case AccessDenied:
        text = QStringLiteral("Permesso negato");
        break;
    }
    return text;
}

DeviceStatus status(Code code, const QString& detail) {
    if (code == None)
        return {};
    QString text = wording(code);
    if (!detail.isEmpty())
        text += QStringLiteral(": ") + detail;
    return {code, text};
}

QString writeFailureReason(int32_t code, const QString& text) {
    if (code != DiskFull && code != FileTooLarge && code != AccessDenied)
        return text;
    QString words = wording(Code(code));
    words[0] = words[0].toLower();
    return words;
}

DeviceStatus statusOf(const ScanError& error, Code fallback) {
    return status(isWriteFailure(error.code()) ? Code(error.code()) : fallback, error.text());
}

Code writeFailure(int err) {
    switch (err) {
    case ENOSPC:
    case EDQUOT:
        return DiskFull;
    case EFBIG:
        return FileTooLarge;
    case EACCES:
    case EPERM:
    case EROFS:
        return AccessDenied;
    default:
        return WriteFailed;
    }
}

bool isWriteFailure(int32_t code) {
    return code == WriteFailed || code == DiskFull || code == FileTooLarge || code == AccessDenied;
}

} // namespace componentError
