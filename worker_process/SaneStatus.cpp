#include "worker_process/SaneStatus.h"
#include <sane/sane.h>

namespace sanestatus {

QString text(int32_t code) {
    // SANE's status numbers first (the enum plus the two later additions), then our own.
    switch (code) {
    case SANE_STATUS_GOOD:
        return QString();
    case SANE_STATUS_UNSUPPORTED:
        return QStringLiteral("Operazione non supportata dal dispositivo");
    case SANE_STATUS_CANCELLED:
        return QStringLiteral("Operazione annullata");
    case SANE_STATUS_DEVICE_BUSY:
        return QStringLiteral("Dispositivo occupato");
    case SANE_STATUS_INVAL:
        return QStringLiteral("Parametro non valido");
    case SANE_STATUS_EOF:
        return QStringLiteral("Pagina incompleta: il dispositivo ha terminato i dati");
    case SANE_STATUS_JAMMED:
        return QStringLiteral("Carta inceppata nell'alimentatore");
    case SANE_STATUS_NO_DOCS:
        return QStringLiteral("Alimentatore vuoto");
    case SANE_STATUS_COVER_OPEN:
        return QStringLiteral("Coperchio aperto");
    case SANE_STATUS_IO_ERROR:
        return QStringLiteral("Errore di ingresso/uscita");
    case SANE_STATUS_NO_MEM:
        return QStringLiteral("Memoria insufficiente");
    case SANE_STATUS_ACCESS_DENIED:
        return QStringLiteral("Accesso negato");
    case 12: // SANE_STATUS_WARMING_UP, a SANE 1.1 addition
        return QStringLiteral("Lampada in riscaldamento, riprovare");
    case 13: // SANE_STATUS_HW_LOCKED, likewise
        return QStringLiteral("Meccanismo bloccato per il trasporto");
    case ValueAdjusted:
        return QStringLiteral("Valore adattato dal dispositivo");
    case ValueNotOffered:
        return QStringLiteral("Valore non disponibile sul dispositivo");
    case NotSupported:
        return QStringLiteral("Funzione non supportata dal dispositivo");
    case ReadOnly:
        return QStringLiteral("Valore in sola lettura");
    case LayerInUse:
        return QStringLiteral("SANE è già in uso");
    case NotStarted:
        return QStringLiteral("SANE non avviato");
    case BadFrame:
        return QStringLiteral("Formato dell'immagine non gestito");
    case WorkerFailed:
        return QStringLiteral("Programma di scansione SANE non avviato");
    default:
        return QStringLiteral("Errore del dispositivo (codice %1)").arg(code);
    }
}

bool isKnown(int32_t code) {
    switch (code) {
    case ValueAdjusted:
    case ValueNotOffered:
    case NotSupported:
    case ReadOnly:
    case LayerInUse:
    case NotStarted:
    case BadFrame:
    case WorkerFailed:
        return true;
    default:
        // SANE's statuses: the enum and the two later additions (12, 13).
        return code >= SANE_STATUS_GOOD && code <= 13;
    }
}

DeviceStatus status(int32_t code, const QString& detail) {
    if (!isKnown(code))
        return status(SANE_STATUS_IO_ERROR, QStringLiteral("connessione chiusa"));
    DeviceStatus s;
    s.code = code;
    s.text = text(code);
    if (code != 0 && !detail.isEmpty())
        s.text += QStringLiteral(": ") + detail;
    return s;
}

} // namespace sanestatus
