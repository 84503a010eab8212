#include "URL.h"

#include <QString>
#include <QUrl>

namespace foundation {

namespace {

QString toQ(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string fromQ(const QString& text) {
    return text.toStdString();
}

// QUrl accepts a few things a strict URL reference does not hold.
bool hasForbiddenCharacters(std::string_view text) {
    for (unsigned char ch : text) {
        if (ch <= 0x20 || ch == 0x7F || ch == '"' || ch == '<' || ch == '>' || ch == '\\' || ch == '^' ||
            ch == '`' || ch == '{' || ch == '|' || ch == '}')
            return true;
    }
    return false;
}

}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
    if (text.empty() || hasForbiddenCharacters(text)) return std::nullopt;
    QUrl url(toQ(text), QUrl::StrictMode);
    if (!url.isValid()) return std::nullopt;
    return fromParsed(std::string(text));
}

URL URL::fromParsed(const std::string& text) {
    QUrl url(toQ(text), QUrl::StrictMode);
    URL out;
    out.string_ = text;
    out.scheme_ = fromQ(url.scheme().toLower());
    out.host_ = fromQ(url.host(QUrl::FullyDecoded));
    out.path_ = fromQ(url.path(QUrl::FullyDecoded));
    out.query_ = fromQ(url.query(QUrl::FullyEncoded));
    out.fragment_ = fromQ(url.fragment(QUrl::FullyEncoded));
    if (url.port() >= 0) out.port_ = url.port();
    return out;
}

URL URL::fileURL(const std::filesystem::path& path) {
    std::filesystem::path absolute = path.is_absolute() ? path : std::filesystem::absolute(path);
    QUrl url = QUrl::fromLocalFile(QString::fromStdString(absolute.string()));
    return fromParsed(fromQ(url.toString(QUrl::FullyEncoded)));
}

bool URL::isWebAddress(std::string_view text) {
    auto url = parse(text);
    return url && url->hasSchemeAndHost();
}

std::string URL::lastPathComponent() const {
    std::string path = path_;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path == "/") return path;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string URL::pathExtension() const {
    std::string last = lastPathComponent();
    size_t dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return {};
    return last.substr(dot + 1);
}

URL URL::appendingPathComponent(std::string_view component) const {
    QUrl url(toQ(string_), QUrl::StrictMode);
    QString path = url.path(QUrl::FullyDecoded);
    if (!path.endsWith('/')) path += '/';
    path += toQ(component);
    url.setPath(path, QUrl::DecodedMode);
    return fromParsed(fromQ(url.toString(QUrl::FullyEncoded)));
}

URL URL::deletingLastPathComponent() const {
    QUrl url(toQ(string_), QUrl::StrictMode);
    QString path = url.path(QUrl::FullyDecoded);
    while (path.size() > 1 && path.endsWith('/')) path.chop(1);
    qsizetype slash = path.lastIndexOf('/');
    path = slash < 0 ? QString() : path.left(slash + 1);
    url.setPath(path, QUrl::DecodedMode);
    return fromParsed(fromQ(url.toString(QUrl::FullyEncoded)));
}

}  // namespace foundation
