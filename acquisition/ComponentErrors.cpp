#include "acquisition/ComponentErrors.h"

namespace componentError {

DeviceStatus status(Code code, const QString& detail) {
    QString text;
    switch (code) {
    case None:
        return {};
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
    }
    if (!detail.isEmpty())
        text += QStringLiteral(": ") + detail;
    return {code, text};
}

} // namespace componentError
