// SchrankForm: SendCommand, the buttons of the "USB" tab and the commands of the service window.
#include "monitor/schrank_form.h"

#include "ui_schrank_form.h"

#include "cabinet/files.h"
#include "hid/hid_device.h"
#include "protocol/output_report.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

namespace hq::monitor {

void SchrankForm::SendCommand(const protocol::CommandFrame& frame) {
    if (CurrentDevice == nullptr)
        return;
    const platform::HidCaps caps = CurrentDevice->ReadCaps();
    const protocol::FramedReport report =
        protocol::frameOutputReport(frame, caps.outputReportByteLength);
    if (!report.ok())
        return; // a report this sender cannot build is not written
    std::uint32_t written = 0;
    CurrentDevice->SendReport(report.bytes, written);
}

void SchrankForm::SendSerialNumber(std::int32_t serial) {
    guarded([&] { SendCommand(protocol::serialNumberWriteFrame(serial)); });
}

void SchrankForm::SendDispLdr() {
    guarded([&] { SendCommand(protocol::dispLdrCommand()); });
}

void SchrankForm::SendWdtTest() {
    guarded([&] { SendCommand(protocol::wdtTestCommand()); });
}

void SchrankForm::setzenClick() {
    guarded([&] {
        SendCommand(protocol::settingsWriteFrame(ui_->SpinEdit4->value(), ui_->SpinEdit5->value(),
                                                 ui_->rueckluftUeberw->isChecked()));
    });
}

void SchrankForm::auslesenClick() {
    guarded([&] { SendCommand(protocol::configRequest()); });
}

void SchrankForm::Button1Click() {
    guarded([&] { SendCommand(protocol::statusRequest()); });
}

void SchrankForm::Button4Click() {
    guarded([&] { SendCommand(protocol::webImageVersionRequest()); });
}

void SchrankForm::Button23Click() {
    guarded([&] { SendCommand(protocol::clockReadRequest()); });
}

void SchrankForm::Button27Click() {
    guarded([&] {
        const auto now = options_.now ? options_.now() : std::chrono::system_clock::now();
        if (const auto frame = protocol::clockSetFrame(protocol::localDateTimeAt(now)))
            SendCommand(*frame);
        else
            addMessage(QStringLiteral(
                "Clock not set: the cabinet's clock holds the years 2000 to 2099 only"));
    });
}

void SchrankForm::resetbtn1Click() {
    guarded([&] { SendCommand(protocol::controllerResetCommand()); });
}

QString SchrankForm::bootloaderPath() const {
    // The same lookup as the web image: beside the executable, then the user's data folder.
    return cabinet::bootloaderPath(options_.applicationDir, options_.dataDirs);
}

void SchrankForm::softupdatebtnClick() {
    guarded([&] {
        // Without the bootloader program nothing could talk to the cabinet once it waits in its
        // bootloader, so 0xFE is only sent when the program is there.
        const QString program = bootloaderPath();
        if (!cabinet::resourceExists(program, cabinet::ResourceKind::ExecutableFile)) {
            if (options_.errors) {
                QStringList places;
                for (const QString& dir :
                     cabinet::resourceSearchDirs(options_.applicationDir, options_.dataDirs)
                         .mid(0, 2))
                    places.append(QDir::toNativeSeparators(
                        QDir::cleanPath(QDir(dir).filePath(cabinet::bootloaderRelativePath()))));
                options_.errors(QStringLiteral("Bootloader-Programm nicht gefunden: ") +
                                places.join(QStringLiteral(" oder ")));
            }
            return;
        }
        SendCommand(protocol::bootloaderEntryCommand());
        if (options_.startProgram)
            options_.startProgram(program);
        else
            QProcess::startDetached(program, {});
    });
}

void SchrankForm::IP_LabelClick() {
    guarded([&] {
        const QUrl url(QStringLiteral("http://") + ui_->IP_Label->text());
        if (options_.openUrl)
            options_.openUrl(url);
        else
            QDesktopServices::openUrl(url);
    });
}

void SchrankForm::Image1Click() {
    guarded([&] {
        if (serviceWindow_ != nullptr)
            serviceWindow_->showServiceWindow();
    });
}

} // namespace hq::monitor
