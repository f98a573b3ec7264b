#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QList>
#include <QString>

#include <optional>

class QIODevice;

namespace hq {

// The body of a multipart/form-data request, built in memory part by part. The boundary is 27
// hyphens and the construction time as "mmddyyhhnnsszzz". Should a part's content contain the
// delimiter "--" + boundary, the boundary is lengthened until no content contains it, and the parts
// appended so far are written again with the new boundary; read BodyContentType() after the last
// append.
class MultipartFormDataStream {
public:
    MultipartFormDataStream(); // boundary from the current local time
    explicit MultipartFormDataStream(const QDateTime& localTime);

    static QString MakeBoundary(const QDateTime& localTime);

    QString BoundaryText() const { return QString::fromLatin1(boundary_); }
    // "multipart/form-data; boundary=" + boundary, for the request's Content-Type header.
    QString BodyContentType() const;

    // Appends one file part with the whole content of source (read from its start). Names and the
    // content type are written as given, in Windows-1252. Returns an error text on failure, in
    // which case nothing of the part has been written.
    std::optional<QString> AppendFilePart(const QString& fieldName, const QString& fileName,
                                          const QString& contentType, QIODevice& source);
    // Opens fileName and appends it; the part's filename is fileName with the platform's own
    // separators (on Windows "D:\Monitor\MPFSImg_DC.bin", not "D:/Monitor/..."). A file that
    // cannot be opened gives "Datei <full path> kann nicht geöffnet werden. <reason>", the path
    // with the same separators. `separator` is the platform's unless a test gives another.
    std::optional<QString> AppendFilePartFromFile(const QString& fieldName, const QString& fileName,
                                                  const QString& contentType,
                                                  QChar separator = QDir::separator());
    // Appends the closing delimiter and sets the position to 0. Appends after this are refused.
    void FinishBody();
    bool isFinished() const { return finished_; }

    const QByteArray& body() const { return body_; }
    qint64 size() const { return body_.size(); }
    qint64 position() const { return position_; }
    void setPosition(qint64 position);
    // Copies up to maxSize bytes from the position and advances it; returns the count.
    qint64 read(char* data, qint64 maxSize);

private:
    struct Part {
        QByteArray fieldName;
        QByteArray fileName;
        QByteArray contentType;
        QByteArray content;
    };
    void ensureBoundaryAbsentFrom(const QByteArray& content);
    void render();
    static void appendPart(QByteArray& out, const QByteArray& boundary, const Part& part);

    QByteArray boundary_;
    QList<Part> parts_;
    QByteArray body_;
    qint64 position_ = 0;
    bool finished_ = false;
};

} // namespace hq
