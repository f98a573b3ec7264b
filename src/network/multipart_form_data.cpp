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
    : boundary_(MakeBoundary(localTime).toLatin1()) {}

QString MultipartFormDataStream::MakeBoundary(const QDateTime& localTime) {
    return QString(27, u'-') + localTime.toString(QStringLiteral("MMddyyHHmmsszzz"));
}

QString MultipartFormDataStream::BodyContentType() const {
    return QStringLiteral("multipart/form-data; boundary=") + BoundaryText();
}

void MultipartFormDataStream::appendPart(QByteArray& out, const QByteArray& boundary,
                                         const Part& part) {
    out += kCrLf;
    out += "--" + boundary + kCrLf;
    out += "Content-Disposition: form-data; name=\"" + part.fieldName + "\"; filename=\"" +
           part.fileName + "\"" + kCrLf;
    out += "Content-Type: " + part.contentType + kCrLf;
    out += kCrLf;
    out += part.content;
}

void MultipartFormDataStream::ensureBoundaryAbsentFrom(const QByteArray& content) {
    bool changed = false;
    for (;;) {
        const QByteArray delimiter = "--" + boundary_;
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
        for (const Part& p : parts_) {
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
        boundary_.append(free != kBoundaryChars.end() ? *free : kBoundaryChars.front());
    }
    if (changed) {
        render();
    }
}

void MultipartFormDataStream::render() {
    body_.clear();
    for (const Part& p : parts_) {
        appendPart(body_, boundary_, p);
    }
    if (finished_) {
        body_ += kCrLf;
        body_ += "--" + boundary_ + "--" + kCrLf;
    }
    position_ = finished_ ? 0 : body_.size();
}

std::optional<QString> MultipartFormDataStream::AppendFilePart(const QString& fieldName,
                                                               const QString& fileName,
                                                               const QString& contentType,
                                                               QIODevice& source) {
    if (finished_) {
        return QStringLiteral("Der Inhalt ist bereits abgeschlossen.");
    }
    if (!source.isSequential() && !source.seek(0)) {
        return QStringLiteral("Datei %1 kann nicht gelesen werden. %2")
            .arg(fileName, source.errorString());
    }
    Part part{encodeWindows1252(fieldName), encodeWindows1252(fileName),
              encodeWindows1252(contentType), source.readAll()};
    if (!source.isSequential() && part.content.size() != source.size()) {
        return QStringLiteral("Datei %1 kann nicht gelesen werden. %2")
            .arg(fileName, source.errorString());
    }
    ensureBoundaryAbsentFrom(part.content);
    appendPart(body_, boundary_, part);
    parts_.append(std::move(part));
    position_ = body_.size();
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
    if (!finished_) {
        finished_ = true;
        body_ += kCrLf;
        body_ += "--" + boundary_ + "--" + kCrLf;
    }
    position_ = 0;
}

void MultipartFormDataStream::setPosition(qint64 position) {
    position_ = std::clamp<qint64>(position, 0, body_.size());
}

qint64 MultipartFormDataStream::read(char* data, qint64 maxSize) {
    const qint64 n = std::clamp<qint64>(body_.size() - position_, 0, std::max<qint64>(maxSize, 0));
    if (n > 0) {
        std::memcpy(data, body_.constData() + position_, static_cast<std::size_t>(n));
        position_ += n;
    }
    return n;
}

} // namespace hq
