#include "ByteText.h"

#include <QByteArray>
#include <QLineEdit>

namespace {

// The bytes a field was last filled with; valid while its text is still Q() of them.
constexpr const char* FieldBytesProperty = "quarnBytes";

QByteArray Array(const std::string& bytes) {
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

QString Q(const std::string& bytes) {
    const QByteArray array = Array(bytes);
    QString text = QString::fromUtf8(array);
    // Valid UTF-8 decodes and encodes back to the same bytes; anything else would show
    // replacement characters and lose the bytes, so it shows one character per byte.
    if (text.toUtf8() == array) return text;
    return QString::fromLatin1(array);
}

QVariant BytesData(const std::string& bytes) {
    return QVariant(Array(bytes));
}

std::string BytesOf(const QVariant& data) {
    const QByteArray array = data.toByteArray();
    return std::string(array.constData(), static_cast<std::size_t>(array.size()));
}

// The bytes go first: the text change runs handlers that read them back.
void SetFieldBytes(QLineEdit* field, const std::string& bytes) {
    field->setProperty(FieldBytesProperty, BytesData(bytes));
    field->setText(Q(bytes));
}

std::string FieldBytes(const QLineEdit* field) {
    const std::string shown = BytesOf(field->property(FieldBytesProperty));
    if (!shown.empty() && field->text() == Q(shown)) return shown;
    const QByteArray typed = field->text().toUtf8();
    return std::string(typed.constData(), static_cast<std::size_t>(typed.size()));
}
