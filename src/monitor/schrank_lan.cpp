#include "monitor/schrank_lan.h"

#include "cabinet/files.h"
#include "network/multipart_form_data.h"
#include "network/schrankip.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

namespace hq::monitor {

QValidator::State SchrankipValidator::validate(QString& input, int& /*pos*/) const {
    // The mask lets only digits and blanks in; until every group holds a digit the text is not
    // finished.
    return isCompleteSchrankip(input) ? Acceptable : Intermediate;
}

SchrankLan::SchrankLan(const Controls& controls, LanOptions options, QString applicationDir,
                       QStringList dataDirs, ErrorSink errors, QObject* parent)
    : QObject(parent), ui_(controls), options_(std::move(options)),
      applicationDir_(std::move(applicationDir)), dataDirs_(std::move(dataDirs)),
      errors_(std::move(errors)) {
    UDPClient.setTargetAddress(options_.discoveryTarget);
    UDPClient.setTargetPort(options_.discoveryPort);
    httpMain.setPort(options_.uploadPort);
    httpMain.setConnectTimeout(options_.uploadConnectTimeoutMs);
    httpMain.setReplyTimeout(options_.uploadReplyTimeoutMs);

    connect(ui_.Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(ui_.Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    // A choice by mouse or keyboard; clicking the chosen entry again copies it again.
    connect(ui_.Netzwerksuche, &QListWidget::currentItemChanged, this,
            [this] { NetzwerksucheClick(); });
    connect(ui_.Netzwerksuche, &QListWidget::itemClicked, this, [this] { NetzwerksucheClick(); });
    // The mask gives the field its shape; a group without any digit is not finished input.
    ui_.Schrankip->setValidator(new SchrankipValidator(ui_.Schrankip));
    connect(ui_.Schrankip, &QLineEdit::editingFinished, this, [this] { layOutSchrankip(); });
    connect(&httpMain, &UploadClient::finished, this,
            [this](const UploadOutcome& outcome) { onUploadFinished(outcome); });

    Timer2.setInterval(options_.pollIntervalMs);
    connect(&Timer2, &QTimer::timeout, this, [this] { Timer2Timer(); });
    Timer2.start();
}

SchrankLan::~SchrankLan() {
    Timer2.stop();
    httpMain.disconnect(this);
}

void SchrankLan::InitLanTab() {
    guarded([this] {
        ui_.HostName->setText(localHostName());
        ui_.ComboBox1->clear();
        ui_.ComboBox1->addItems(ListLocalAddresses());
        if (ui_.ComboBox1->count() > 0)
            ui_.ComboBox1->setCurrentIndex(0);
    });
}

void SchrankLan::Button3Click() {
    guarded([this] {
        ui_.Netzwerksuche->clear();
        ui_.ProgressBar1->setValue(0);
        if (const std::optional<QString> error = UDPClient.search(ui_.ComboBox1->currentText())) {
            if (errors_)
                errors_(*error);
            return;
        }
        addMemoLine(QString::fromLatin1(kDiscoverySentLine));
        ui_.ProgressBar1->setValue(100);
    });
}

void SchrankLan::Timer2Timer() {
    guarded([this] {
        const DiscoveryReply reply = UDPClient.poll();
        for (const QString& line : reply.memoLines)
            addMemoLine(line);
        if (reply.listEntry)
            ui_.Netzwerksuche->addItem(*reply.listEntry);
    });
}

void SchrankLan::NetzwerksucheClick() {
    guarded([this] {
        const QListWidgetItem* item = ui_.Netzwerksuche->currentItem();
        if (item == nullptr)
            return;
        if (const std::optional<QString> text = formatSchrankip(addressOfListEntry(item->text())))
            ui_.Schrankip->setText(*text);
    });
}

void SchrankLan::Button2Click() {
    guarded([this] {
        if (httpMain.isRunning()) {
            addMemoLine(QStringLiteral("MPFS upload already running; wait until it has ended."));
            return;
        }
        ui_.ProgressBar1->setValue(0);
        const QString field = schrankipText();
        if (isEmptySchrankip(field)) {
            showMessage(QString::fromUtf8(kNoCabinetChosenText));
            ui_.ProgressBar1->setValue(100);
            return;
        }
        MultipartFormDataStream body;
        const QString image = webImagePath();
        if (const std::optional<QString> error =
                body.AppendFilePartFromFile(QString::fromLatin1(kUploadPath), image, QString())) {
            if (errors_)
                errors_(*error);
            return;
        }
        body.FinishBody();
        const QString host = plainSchrankip(field);
        if (!httpMain.start(host, body)) {
            addMemoLine(QStringLiteral("MPFS upload could not be started."));
            return;
        }
        const QString port =
            httpMain.port() == kHttpPort ? QString() : QStringLiteral(":%1").arg(httpMain.port());
        addMemoLine(QStringLiteral("MPFS upload: %1 to http://%2%3%4")
                        .arg(QDir::toNativeSeparators(image), host, port,
                             QString::fromLatin1(kUploadPath)));
    });
}

QString SchrankLan::schrankipText() const {
    // The mask's blanks are part of the shown text; text() would drop them.
    return ui_.Schrankip->displayText();
}

QString SchrankLan::webImagePath() const {
    return cabinet::webImagePath(applicationDir_, dataDirs_);
}

void SchrankLan::addMemoLine(const QString& line) {
    ui_.UDPMemo->appendPlainText(line);
}

void SchrankLan::showMessage(const QString& text) {
    if (options_.showMessage) {
        options_.showMessage(text);
        return;
    }
    QWidget* window = ui_.Button2->window();
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, window);
    box.exec();
}

void SchrankLan::layOutSchrankip() {
    // Typed groups end up wherever the cursor left them; lay a complete address out with
    // leading blanks, as the list's choice does.
    const QString plain = plainSchrankip(schrankipText());
    if (const std::optional<QString> text = formatSchrankip(plain)) {
        if (*text != schrankipText())
            ui_.Schrankip->setText(*text);
    }
}

void SchrankLan::onUploadFinished(const UploadOutcome& outcome) {
    guarded([&] {
        addMemoLine(describeUploadOutcome(outcome));
        ui_.ProgressBar1->setValue(outcome.ok() ? 100 : 0);
    });
    emit uploadFinished(outcome);
}

} // namespace hq::monitor
