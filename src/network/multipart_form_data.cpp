#include "network/multipart_form_data.h"

#include "localization/windows1252.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>

#include <algorithm>
#include <cstring>

namespace hq {
namespace {

constexpr const char* kCrLf = "\r\n";
constexpr QByteArrayView kBoundaryChars =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

} // namespace

MultipartFormDataStream::MultipartFormDataStream()
    : MultipartFormDataStream(QDateTime::currentDateTime()) {}

MultipartFormDataStream::MultipartFormDataStream(const QDateTime& localTime)
    : m_boundary(MakeBoundary(localTime).toLatin1()) {}

QString MultipartFormDataStream::MakeBoundary(const QDateTime& localTime) {
    return QString(27, u'-') + localTime.toString(QStringLiteral("MMddyyHHmmsszzz"));
}

QString MultipartFormDataStream::BodyContentType() const {
    return QStringLiteral("multipart/form-data; boundary=") + BoundaryText();
}

void MultipartFormDataStream::AppendPart(QByteArray& out, const QByteArray& boundary,
                                         const Part& part) {
    out += kCrLf;
    out += "--" + boundary + kCrLf;
    out += "Content-Disposition: form-data; name=\"" + part.fieldName + "\"; filename=\"" +
           part.fileName + "\"" + kCrLf;
    out += "Content-Type: " + part.contentType + kCrLf;
    out += kCrLf;
    out += part.content;
}

void MultipartFormDataStream::EnsureBoundaryAbsentFrom(const QByteArray& content) {
    bool changed = false;
    for (;;) {
        const QByteArray delimiter = "--" + m_boundary;
        // The characters that follow the delimiter wherever a content holds it.
        QByteArray followers;
        bool found = false;
        auto collect = [&](const QByteArray& bytes) {
            for (qsizetype at = bytes.indexOf(delimiter); at >= 0;
                 at = bytes.indexOf(delimiter, at + 1)) {
                found = true;
                const qsizetype next = at + delimiter.size();
                if (next < bytes.size() && !followers.contains(bytes[next])) {
                    followers.append(bytes[next]);
                }
            }
        };
        collect(content);
        for (const Part& p : m_parts) {
            collect(p.content);
        }
        if (!found) {
            break;
        }
        changed = true;
        // A character that follows no occurrence ends the search; if every candidate follows
        // one, take the first and look again with the longer delimiter.
        const auto free = std::find_if(kBoundaryChars.begin(), kBoundaryChars.end(),
                                       [&](char c) { return !followers.contains(c); });
        m_boundary.append(free != kBoundaryChars.end() ? *free : kBoundaryChars.front());
    }
    if (changed) {
        Render();
    }
}

void MultipartFormDataStream::Render() {
    m_body.clear();
    for (const Part& p : m_parts) {
        AppendPart(m_body, m_boundary, p);
    }
    if (m_finished) {
        m_body += kCrLf;
        m_body += "--" + m_boundary + "--" + kCrLf;
    }
    m_position = m_finished ? 0 : m_body.size();
}

std::optional<QString> MultipartFormDataStream::AppendFilePart(const QString& fieldName,
                                                               const QString& fileName,
                                                               const QString& contentType,
                                                               QIODevice& source) {
    if (m_finished) {
        return QStringLiteral("Der Inhalt ist bereits abgeschlossen.");
    }
    if (!source.isSequential() && !source.seek(0)) {
        return QStringLiteral("Datei %1 kann nicht gelesen werden. %2")
            .arg(fileName, source.errorString());
    }
    Part part{EncodeWindows1252(fieldName), EncodeWindows1252(fileName),
              EncodeWindows1252(contentType), source.readAll()};
    if (!source.isSequential() && part.content.size() != source.size()) {
        return QStringLiteral("Datei %1 kann nicht gelesen werden. %2")
            .arg(fileName, source.errorString());
    }
    EnsureBoundaryAbsentFrom(part.content);
    AppendPart(m_body, m_boundary, part);
    m_parts.append(std::move(part));
    m_position = m_body.size();
    return std::nullopt;
}

std::optional<QString> MultipartFormDataStream::AppendFilePartFromFile(const QString& fieldName,
                                                                       const QString& fileName,
                                                                       const QString& contentType,
                                                                       QChar separator) {
    const auto shown = [separator](QString path) { return path.replace(u'/', separator); };
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("Datei %1 kann nicht geöffnet werden. %2")
            .arg(shown(QFileInfo(fileName).absoluteFilePath()), file.errorString());
    }
    return AppendFilePart(fieldName, shown(fileName), contentType, file);
}

void MultipartFormDataStream::FinishBody() {
    if (!m_finished) {
        m_finished = true;
        m_body += kCrLf;
        m_body += "--" + m_boundary + "--" + kCrLf;
    }
    m_position = 0;
}

void MultipartFormDataStream::SetPosition(qint64 position) {
    m_position = std::clamp<qint64>(position, 0, m_body.size());
}

qint64 MultipartFormDataStream::Read(char* data, qint64 maxSize) {
    const qint64 n =
        std::clamp<qint64>(m_body.size() - m_position, 0, std::max<qint64>(maxSize, 0));
    if (n > 0) {
        std::memcpy(data, m_body.constData() + m_position, static_cast<std::size_t>(n));
        m_position += n;
    }
    return n;
}

} // namespace hq
