#include "common/SystemErrorText.h"

#include <QFileDevice>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace {

// The text of `code` in `table`, or null when it has none.
template <typename Code, std::size_t N>
const char* textOf(const std::pair<Code, const char*> (&table)[N], Code code) {
    const auto row = std::find_if(std::begin(table), std::end(table),
                                  [code](const auto& r) { return r.first == code; });
    return row != std::end(table) ? row->second : nullptr;
}

const std::pair<int, const char*> systemErrorTexts[] = {
    {0, "nessun errore"},
    {EPERM, "operazione non permessa"},
    {ENOENT, "file o cartella inesistente"},
    {EINTR, "chiamata interrotta"},
    {EIO, "errore di lettura o scrittura del dispositivo"},
    {ENXIO, "dispositivo inesistente"},
    {ENODEV, "dispositivo inesistente"},
    {E2BIG, "elenco di argomenti troppo lungo"},
    {ENOEXEC, "non è un programma eseguibile"},
    {EBADF, "descrittore di file non valido"},
    {ECHILD, "nessun processo figlio"},
    {EAGAIN, "risorsa temporaneamente non disponibile"},
    {ENOMEM, "memoria esaurita"},
    {EACCES, "permesso negato"},
    {EFAULT, "indirizzo non valido"},
    {EBUSY, "dispositivo o risorsa occupati"},
    {EEXIST, "il file esiste già"},
    {EXDEV, "collegamento tra file system diversi"},
    {ENOTDIR, "non è una cartella"},
    {EISDIR, "è una cartella"},
    {EINVAL, "argomento non valido"},
    {ENFILE, "troppi file aperti"},
    {EMFILE, "troppi file aperti"},
    {ETXTBSY, "file di testo occupato"},
    {EFBIG, "file troppo grande"},
    {ENOSPC, "spazio su disco esaurito"},
    {ESPIPE, "posizionamento non valido"},
    {EROFS, "file system in sola lettura"},
    {EMLINK, "troppi collegamenti"},
    {EPIPE, "canale chiuso dall'altro capo"},
    {ENAMETOOLONG, "nome di file troppo lungo"},
    {ENOLCK, "nessun blocco disponibile"},
    {ENOSYS, "funzione non implementata"},
    {ENOTEMPTY, "cartella non vuota"},
    {ELOOP, "troppi collegamenti simbolici"},
    {EDQUOT, "quota del disco superata"},
    {ENOTSUP, "operazione non supportata"},
    {EADDRINUSE, "indirizzo già in uso"},
    {ENETUNREACH, "rete non raggiungibile"},
    {ECONNABORTED, "connessione interrotta"},
    {ECONNRESET, "connessione chiusa dall'altro capo"},
    {ENOTCONN, "non connesso"},
    {ETIMEDOUT, "tempo scaduto"},
    {ECONNREFUSED, "connessione rifiutata"},
    {EHOSTUNREACH, "host non raggiungibile"},
    {EOVERFLOW, "valore troppo grande per il tipo di dato"},
};

// The errors without a text of their own (FatalError, AbortError, RemoveError, RenameError,
// CopyError, UnspecifiedError) are "errore del file".
const std::pair<QFileDevice::FileError, const char*> fileErrorTexts[] = {
    {QFileDevice::NoError, "file più corto del previsto"},
    {QFileDevice::ReadError, "lettura non riuscita"},
    {QFileDevice::WriteError, "scrittura non riuscita"},
    {QFileDevice::ResourceError, "risorse esaurite (memoria o spazio su disco)"},
    {QFileDevice::OpenError, "apertura non riuscita"},
    {QFileDevice::PermissionsError, "permesso negato"},
    {QFileDevice::PositionError, "posizionamento nel file non riuscito"},
    {QFileDevice::ResizeError, "posizionamento nel file non riuscito"},
    {QFileDevice::TimeOutError, "tempo scaduto"},
};

} // namespace

QString systemErrorText(int error) {
    if (const char* text = textOf(systemErrorTexts, error))
        return QString::fromUtf8(text);
    return QStringLiteral("errore di sistema %1").arg(error);
}

QString fileErrorText(const QFileDevice& file) {
    if (const char* text = textOf(fileErrorTexts, file.error()))
        return QString::fromUtf8(text);
    return QStringLiteral("errore del file");
}
