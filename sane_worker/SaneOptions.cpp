#include "sane_worker/SaneOptions.h"
#include "worker_process/SaneStatus.h"
#include <algorithm>
#include <cmath>
#include <cstring>

using saneoption::numberText;
using saneoption::wordValue;

double saneoption::wordValue(const SANE_Option_Descriptor* d, SANE_Word w) {
    return d->type == SANE_TYPE_FIXED ? SANE_UNFIX(w) : double(w);
}

QString saneoption::numberText(double v) {
    return QString::number(v, 'g', 10);
}

namespace {

SANE_Word toWord(const SANE_Option_Descriptor* d, double v) {
    if (d->type == SANE_TYPE_FIXED)
        return SANE_FIX(v);
    if (d->type == SANE_TYPE_BOOL)
        return v != 0 ? SANE_TRUE : SANE_FALSE;
    return SANE_Word(std::lround(v));
}

} // namespace

DeviceStatus SaneOptions::load() {
    m_options.clear();
    m_byName.clear();
    // Descriptor 0 comes first: a backend whose options changed (the net backend after
    // SANE_INFO_RELOAD_OPTIONS) fetches them anew here, and refuses any control call until it
    // has. Option 0 then holds the number of options.
    SANE_Int count = 0;
    SANE_Status s = SANE_STATUS_IO_ERROR;
    if (m_handle->optionDescriptor(0))
        s = m_handle->controlOption(0, SANE_ACTION_GET_VALUE, &count, nullptr);
    if (s == SANE_STATUS_GOOD && count < 1)
        s = SANE_STATUS_IO_ERROR;
    if (s != SANE_STATUS_GOOD) {
        m_fault = sanestatus::status(s, QStringLiteral("elenco delle opzioni"));
        return m_fault;
    }
    for (SANE_Int i = 1; i < count; ++i) {
        const SANE_Option_Descriptor* d = m_handle->optionDescriptor(i);
        if (!d || !d->name || d->type == SANE_TYPE_GROUP)
            continue;
        m_byName.insert(QByteArray(d->name), int(m_options.size()));
        m_options.push_back(Option{i, d});
    }
    m_fault = DeviceStatus();
    return DeviceStatus();
}

int SaneOptions::optionIndex(const char* name) const {
    auto it = m_byName.constFind(QByteArray::fromRawData(name, int(std::strlen(name))));
    return it == m_byName.constEnd() ? -1 : it.value();
}

const SANE_Option_Descriptor* SaneOptions::option(const char* name) const {
    const int i = optionIndex(name);
    if (i < 0)
        return nullptr;
    const SANE_Option_Descriptor* d = m_options[size_t(i)].d;
    return SANE_OPTION_IS_ACTIVE(d->cap) ? d : nullptr;
}

const char* SaneOptions::firstActive(const char* const* names) const {
    for (int i = 0; i < 4 && names[i]; ++i)
        if (option(names[i]))
            return names[i];
    return nullptr;
}

std::optional<double> SaneOptions::readNumber(const char* name) const {
    const SANE_Option_Descriptor* d = option(name);
    if (!d || (d->type != SANE_TYPE_INT && d->type != SANE_TYPE_FIXED && d->type != SANE_TYPE_BOOL))
        return std::nullopt;
    if (connectionClosed())
        return std::nullopt;
    // Array options (a value per channel) report their first element.
    std::vector<SANE_Word> words(std::max<size_t>(1, size_t(d->size) / sizeof(SANE_Word)));
    const int index = m_options[size_t(optionIndex(name))].index;
    if (m_handle->controlOption(index, SANE_ACTION_GET_VALUE, words.data(), nullptr) !=
        SANE_STATUS_GOOD)
        return std::nullopt;
    return wordValue(d, words[0]);
}

std::optional<QString> SaneOptions::readString(const char* name) const {
    const SANE_Option_Descriptor* d = option(name);
    if (!d || d->type != SANE_TYPE_STRING || d->size <= 0)
        return std::nullopt;
    if (connectionClosed())
        return std::nullopt;
    QByteArray buffer(d->size + 1, '\0');
    const int index = m_options[size_t(optionIndex(name))].index;
    if (m_handle->controlOption(index, SANE_ACTION_GET_VALUE, buffer.data(), nullptr) !=
        SANE_STATUS_GOOD)
        return std::nullopt;
    return QString::fromUtf8(buffer.constData());
}

QStringList SaneOptions::stringList(const char* name) const {
    QStringList list;
    const SANE_Option_Descriptor* d = option(name);
    if (d && d->type == SANE_TYPE_STRING && d->constraint_type == SANE_CONSTRAINT_STRING_LIST)
        for (const SANE_String_Const* s = d->constraint.string_list; s && *s; ++s)
            list.append(QString::fromUtf8(*s));
    return list;
}

DeviceStatus SaneOptions::control(int index, void* value, const QString& asked) {
    if (connectionClosed())
        return sanestatus::status(SANE_STATUS_IO_ERROR, QStringLiteral("connessione chiusa"));
    SANE_Int info = 0;
    const SANE_Status s = m_handle->controlOption(index, SANE_ACTION_SET_VALUE, value, &info);
    if (info & SANE_INFO_RELOAD_OPTIONS) {
        // Other options came and went (a mode or source change). Until they are read again the
        // old descriptors may be freed memory and the backend may refuse every call.
        const DeviceStatus reloaded = load();
        if (!reloaded.ok())
            return reloaded;
    }
    // SANE_INFO_RELOAD_PARAMS needs nothing here: frame parameters are read after each
    // sane_start, where SANE guarantees them, and never kept from before.
    if (s != SANE_STATUS_GOOD)
        return sanestatus::status(s, asked);
    if (info & SANE_INFO_INEXACT)
        return sanestatus::status(sanestatus::ValueAdjusted, asked);
    return DeviceStatus();
}

DeviceStatus SaneOptions::writeNumber(const char* name, double value) {
    const SANE_Option_Descriptor* d = option(name);
    if (!d)
        return sanestatus::status(sanestatus::NotSupported, QString::fromUtf8(name));
    if (!SANE_OPTION_IS_SETTABLE(d->cap))
        return sanestatus::status(sanestatus::ReadOnly, QString::fromUtf8(name));
    if (d->type != SANE_TYPE_INT && d->type != SANE_TYPE_FIXED && d->type != SANE_TYPE_BOOL)
        return sanestatus::status(sanestatus::NotSupported, QString::fromUtf8(name));
    const int index = m_options[size_t(optionIndex(name))].index;
    // An array option takes the value in every element.
    std::vector<SANE_Word> words(std::max<size_t>(1, size_t(d->size) / sizeof(SANE_Word)),
                                 toWord(d, value));
    DeviceStatus st =
        control(index, words.data(),
                QStringLiteral("%1 = %2").arg(QString::fromUtf8(name), numberText(value)));
    if (st.code == sanestatus::ValueAdjusted) {
        if (auto took = readNumber(name))
            st.text += QStringLiteral(" (impostato %1)").arg(numberText(*took));
    }
    return st;
}

DeviceStatus SaneOptions::writeString(const char* name, const QString& value) {
    const SANE_Option_Descriptor* d = option(name);
    if (!d || d->type != SANE_TYPE_STRING)
        return sanestatus::status(sanestatus::NotSupported, QString::fromUtf8(name));
    if (!SANE_OPTION_IS_SETTABLE(d->cap))
        return sanestatus::status(sanestatus::ReadOnly, QString::fromUtf8(name));
    QByteArray buffer = value.toUtf8();
    if (buffer.size() >= d->size)
        return sanestatus::status(SANE_STATUS_INVAL, value);
    buffer.resize(d->size, '\0');
    const int index = m_options[size_t(optionIndex(name))].index;
    return control(index, buffer.data(),
                   QStringLiteral("%1 = %2").arg(QString::fromUtf8(name), value));
}

DeviceStatus SaneOptions::writeText(const QByteArray& name, const QString& value) {
    const SANE_Option_Descriptor* d = option(name.constData());
    if (!d)
        return sanestatus::status(sanestatus::NotSupported, QString::fromUtf8(name));
    if (d->type == SANE_TYPE_STRING)
        return writeString(name.constData(), value);
    if (d->type == SANE_TYPE_BOOL) {
        const QString v = value.trimmed().toLower();
        if (v == QLatin1String("yes") || v == QLatin1String("true") || v == QLatin1String("1"))
            return writeNumber(name.constData(), 1);
        if (v == QLatin1String("no") || v == QLatin1String("false") || v == QLatin1String("0"))
            return writeNumber(name.constData(), 0);
        return sanestatus::status(SANE_STATUS_INVAL, value);
    }
    bool ok = false;
    const double number = value.trimmed().toDouble(&ok);
    if (!ok)
        return sanestatus::status(SANE_STATUS_INVAL, value);
    return writeNumber(name.constData(), number);
}
