#include "common/SystemErrorText.h"

#include <QFileDevice>

#include <cerrno>

QString systemErrorText(int error) {
    switch (error) {
    case 0:
        return QStringLiteral("nessun errore");
    case EPERM:
        return QStringLiteral("operazione non permessa");
    case ENOENT:
        return QStringLiteral("file o cartella inesistente");
    case EINTR:
        return QStringLiteral("chiamata interrotta");
    case EIO:
        return QStringLiteral("errore di lettura o scrittura del dispositivo");
    case ENXIO:
    case ENODEV:
        return QStringLiteral("dispositivo inesistente");
    case E2BIG:
        return QStringLiteral("elenco di argomenti troppo lungo");
    case ENOEXEC:
        return QStringLiteral("non è un programma eseguibile");
    case EBADF:
        return QStringLiteral("descrittore di file non valido");
    case ECHILD:
        return QStringLiteral("nessun processo figlio");
    case EAGAIN:
        return QStringLiteral("risorsa temporaneamente non disponibile");
    case ENOMEM:
        return QStringLiteral("memoria esaurita");
    case EACCES:
        return QStringLiteral("permesso negato");
    case EFAULT:
        return QStringLiteral("indirizzo non valido");
    case EBUSY:
        return QStringLiteral("dispositivo o risorsa occupati");
    case EEXIST:
        return QStringLiteral("il file esiste già");
    case EXDEV:
        return QStringLiteral("collegamento tra file system diversi");
    case ENOTDIR:
        return QStringLiteral("non è una cartella");
    case EISDIR:
        return QStringLiteral("è una cartella");
    case EINVAL:
        return QStringLiteral("argomento non valido");
    case ENFILE:
    case EMFILE:
        return QStringLiteral("troppi file aperti");
    case ETXTBSY:
        return QStringLiteral("file di testo occupato");
    case EFBIG:
        return QStringLiteral("file troppo grande");
    case ENOSPC:
        return QStringLiteral("spazio su disco esaurito");
    case ESPIPE:
        return QStringLiteral("posizionamento non valido");
    case EROFS:
        return QStringLiteral("file system in sola lettura");
    case EMLINK:
        return QStringLiteral("troppi collegamenti");
    case EPIPE:
        return QStringLiteral("canale chiuso dall'altro capo");
    case ENAMETOOLONG:
        return QStringLiteral("nome di file troppo lungo");
    case ENOLCK:
        return QStringLiteral("nessun blocco disponibile");
    case ENOSYS:
        return QStringLiteral("funzione non implementata");
    case ENOTEMPTY:
        return QStringLiteral("cartella non vuota");
    case ELOOP:
        return QStringLiteral("troppi collegamenti simbolici");
    case EDQUOT:
        return QStringLiteral("quota del disco superata");
    case ENOTSUP:
        return QStringLiteral("operazione non supportata");
    case EADDRINUSE:
        return QStringLiteral("indirizzo già in uso");
    case ENETUNREACH:
        return QStringLiteral("rete non raggiungibile");
    case ECONNABORTED:
        return QStringLiteral("connessione interrotta");
    case ECONNRESET:
        return QStringLiteral("connessione chiusa dall'altro capo");
    case ENOTCONN:
        return QStringLiteral("non connesso");
    case ETIMEDOUT:
        return QStringLiteral("tempo scaduto");
    case ECONNREFUSED:
        return QStringLiteral("connessione rifiutata");
    case EHOSTUNREACH:
        return QStringLiteral("host non raggiungibile");
    case EOVERFLOW:
        return QStringLiteral("valore troppo grande per il tipo di dato");
    default:
        break;
    }
    return QStringLiteral("errore di sistema %1").arg(error);
}

QString fileErrorText(const QFileDevice& file) {
    switch (file.error()) {
    case QFileDevice::NoError:
        return QStringLiteral("file più corto del previsto");
    case QFileDevice::ReadError:
        return QStringLiteral("lettura non riuscita");
    case QFileDevice::WriteError:
        return QStringLiteral("scrittura non riuscita");
    case QFileDevice::ResourceError:
        return QStringLiteral("risorse esaurite (memoria o spazio su disco)");
    case QFileDevice::OpenError:
        return QStringLiteral("apertura non riuscita");
    case QFileDevice::PermissionsError:
        return QStringLiteral("permesso negato");
    case QFileDevice::PositionError:
    case QFileDevice::ResizeError:
        return QStringLiteral("posizionamento nel file non riuscito");
    case QFileDevice::TimeOutError:
        return QStringLiteral("tempo scaduto");
    case QFileDevice::FatalError:
    case QFileDevice::AbortError:
    case QFileDevice::RemoveError:
    case QFileDevice::RenameError:
    case QFileDevice::CopyError:
    case QFileDevice::UnspecifiedError:
        break;
    }
    return QStringLiteral("errore del file");
}
