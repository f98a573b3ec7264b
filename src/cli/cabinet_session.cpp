#include "cli/cabinet_session.h"

#include "cabinet/identity.h"

#include "protocol/output_report.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

namespace hq::cli {

namespace {
// How often a wait looks at the interrupt flag.
constexpr int kInterruptPollMs = 50;
// At most this many asks are remembered.
constexpr std::size_t kMaxAsks = 64;

bool isCabinet(const HidDevice* device) {
    const auto& a = device->hidAttributes();
    return cabinet::isCabinet(a.vendorId, a.productId);
}

// What a user knows the cabinet by: its device node where the system has one (/dev/hidrawN on
// Linux, whose interface paths are sysfs directories), else its interface path.
QString shownPath(const HidDevice* device) {
    const std::string& node = device->pnpRecord().properties.physicalDeviceObjectName;
    if (node.rfind("/dev/", 0) == 0)
        return QString::fromStdString(node);
    return QString::fromStdString(device->pnpRecord().InterfacePath);
}
} // namespace

CabinetSession::CabinetSession(platform::HidPlatform& platform, const std::atomic<bool>* interrupt)
    : platform_(platform), interrupt_(interrupt) {}

CabinetSession::~CabinetSession() {
    releaseDevice();
    if (controller_) {
        controller_->setOnArrival(nullptr);
        controller_->setOnRemoval(nullptr);
        controller_->setLoading(true);
        controller_->setOnDeviceChange(nullptr);
    }
    controller_.reset();
}

bool CabinetSession::start() {
    if (!platform_.available())
        return false;
    controller_ = std::make_unique<HidDeviceController>(platform_);
    controller_->setOnArrival([this](HidDevice* d) { onArrival(d); });
    controller_->setOnRemoval([this](HidDevice* d) { onRemoval(d); });
    // Setting the change handler must not scan at once: the first scan is the controller's own
    // start-up notification, which reports every present interface.
    controller_->setLoading(true);
    controller_->setOnDeviceChange([this](HidDeviceController*) { scanned_ = true; });
    controller_->setLoading(false);
    QDeadlineTimer limit(5000);
    while (!scanned_ && !limit.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return scanned_;
}

std::vector<CabinetInfo> CabinetSession::cabinets() const {
    std::vector<CabinetInfo> list;
    if (!controller_)
        return list;
    for (HidDevice* d : controller_->devices()) {
        if (!d->plugged() || !isCabinet(d))
            continue;
        CabinetInfo info;
        info.vendorId = d->hidAttributes().vendorId;
        info.productId = d->hidAttributes().productId;
        info.product = d->QueryProductText();
        info.serial = d->QuerySerialText();
        info.path = shownPath(d);
        info.readWrite = d->canReadWrite();
        if (!info.readWrite)
            info.accessProblem = QString::fromStdString(d->openErrorText());
        list.push_back(info);
    }
    return list;
}

CabinetSession::OpenResult CabinetSession::open(const QString& serial, QString& problem) {
    problem.clear();
    if (!controller_) {
        problem = QStringLiteral("no cabinet attached");
        return OpenResult::NoCabinet;
    }
    std::vector<HidDevice*> candidates;
    for (HidDevice* d : controller_->devices())
        if (d->plugged() && isCabinet(d) && !d->claimed())
            candidates.push_back(d);
    if (candidates.empty()) {
        problem = QStringLiteral("no cabinet attached");
        return OpenResult::NoCabinet;
    }
    HidDevice* chosen = nullptr;
    if (!serial.isEmpty()) {
        for (HidDevice* d : candidates)
            if (d->QuerySerialText() == serial) {
                chosen = d;
                break;
            }
        if (!chosen) {
            QStringList present;
            for (HidDevice* d : candidates)
                present << d->QuerySerialText();
            problem = QStringLiteral("no cabinet with serial \"%1\" attached (attached: %2)")
                          .arg(serial, present.join(QStringLiteral(", ")));
            return OpenResult::NoSuchSerial;
        }
    } else if (candidates.size() > 1) {
        QStringList present;
        for (HidDevice* d : candidates)
            present << d->QuerySerialText();
        problem = QStringLiteral("%1 cabinets attached (%2); choose one with --serial")
                      .arg(candidates.size())
                      .arg(present.join(QStringLiteral(", ")));
        return OpenResult::Ambiguous;
    } else {
        chosen = candidates.front();
    }
    openedSerial_ = chosen->QuerySerialText();
    openedPath_ = shownPath(chosen);
    if (!chosen->canReadWrite()) {
        const QString why = QString::fromStdString(chosen->openErrorText());
        problem = QStringLiteral("cabinet %1 cannot be opened for reading and writing%2")
                      .arg(openedPath_, why.isEmpty() ? QString() : QStringLiteral(": ") + why);
        return OpenResult::NotWritable;
    }
    if (!claim(chosen)) {
        problem = QStringLiteral("cabinet %1 could not be claimed").arg(openedPath_);
        return OpenResult::ClaimFailed;
    }
    return OpenResult::Ok;
}

bool CabinetSession::claim(HidDevice* device) {
    const auto& list = controller_->devices();
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] != device)
            continue;
        std::unique_ptr<HidDevice> claimed;
        if (!controller_->ClaimAt(claimed, static_cast<std::int32_t>(i), true))
            return false;
        device_ = std::move(claimed);
        // Nothing asked before answers on the device claimed now.
        asks_.clear();
        device_->SetReportHandler([this](HidDevice* d, std::uint8_t id, const std::uint8_t* data,
                                         std::uint16_t size) { onReport(d, id, data, size); });
        return true;
    }
    return false;
}

void CabinetSession::releaseDevice() {
    // Destroying the device stops its read thread and ends the claim.
    device_.reset();
}

bool CabinetSession::send(const protocol::CommandFrame& frame, QString* detail) {
    if (!device_) {
        if (detail)
            *detail = QStringLiteral("the cabinet is not attached");
        return false;
    }
    const platform::HidCaps caps = device_->ReadCaps();
    const protocol::FramedReport report =
        protocol::frameOutputReport(frame, caps.outputReportByteLength);
    if (!report.ok()) {
        if (detail)
            *detail =
                QString::fromUtf8(protocol::describe(report.error).data(),
                                  static_cast<qsizetype>(protocol::describe(report.error).size()));
        return false;
    }
    std::uint32_t written = 0;
    if (!device_->SendReport(report.bytes, written) || written != report.bytes.size()) {
        if (detail) {
            const auto code = platform_.lastError();
            *detail = QStringLiteral("writing to %1 failed").arg(openedPath_);
            if (code != 0)
                *detail += QStringLiteral(": ") + QString::fromStdString(platform_.errorText(code));
        }
        return false;
    }
    return true;
}

void CabinetSession::dropEarlierAsks(std::uint8_t replyCode) {
    std::erase_if(asks_, [&](const Ask& a) {
        return a.replyCode == replyCode && a.request != currentRequest_;
    });
}

bool CabinetSession::sendAsk(const protocol::CommandFrame& frame, QString* detail) {
    if (!send(frame, detail))
        return false;
    if (const auto code = protocol::answeredBy(frame)) {
        if (asks_.size() >= kMaxAsks)
            asks_.pop_front();
        asks_.push_back({*code, currentRequest_});
    }
    return true;
}

RequestResult CabinetSession::request(const protocol::CommandFrame& frame, std::uint8_t replyCode,
                                      std::chrono::milliseconds timeout) {
    RequestResult result;
    ++currentRequest_;
    replies_.clear();
    if (!sendAsk(frame, &result.detail)) {
        result.status = device_ ? WaitStatus::WriteFailed : WaitStatus::Gone;
        return result;
    }
    std::optional<protocol::CommandFrame> again;
    if (protocol::answeredBy(frame) == replyCode)
        again = frame;
    return awaitReply(replyCode, timeout, again);
}

RequestResult CabinetSession::waitForReply(std::uint8_t replyCode,
                                           std::chrono::milliseconds timeout) {
    // The requests that the cabinet answers carry the code of their answer.
    std::optional<protocol::CommandFrame> again;
    const std::uint8_t code[1] = {replyCode};
    if (auto frame = protocol::CommandFrame::fromBytes(code);
        frame && protocol::answeredBy(*frame) == replyCode)
        again = *frame;
    return awaitReply(replyCode, timeout, again);
}

RequestResult CabinetSession::awaitReply(std::uint8_t replyCode, std::chrono::milliseconds timeout,
                                         std::optional<protocol::CommandFrame> askAgain) {
    RequestResult result;
    QDeadlineTimer deadline(timeout);
    QDeadlineTimer half(timeout / 2);
    bool halfPassed = false;
    for (;;) {
        // Answers of other codes to this request's asks stay for a later wait of the request.
        const auto reply = std::find_if(replies_.begin(), replies_.end(),
                                        [&](const auto& r) { return r.code == replyCode; });
        if (reply != replies_.end()) {
            result.status = WaitStatus::Ok;
            result.reply = std::move(*reply);
            replies_.erase(reply);
            return result;
        }
        if (!device_) {
            result.status = WaitStatus::Gone;
            return result;
        }
        if (interrupted()) {
            result.status = WaitStatus::Interrupted;
            return result;
        }
        const auto left = std::chrono::milliseconds(deadline.remainingTime());
        if (left.count() <= 0) {
            result.status = WaitStatus::Timeout;
            return result;
        }
        if (!halfPassed && half.hasExpired()) {
            halfPassed = true;
            // Half the time without an answer: the asks of earlier requests count as lost from
            // now on, so that the answer to this request's asks is this request's.
            dropEarlierAsks(replyCode);
            // Once, and only a request that changes nothing; a failed write is not an answer
            // either, so the wait simply goes on.
            if (askAgain)
                sendAsk(*askAgain, nullptr);
        }
        const auto untilHalf =
            halfPassed ? left
                       : std::chrono::milliseconds(std::max<qint64>(1, half.remainingTime()));
        bool timedOut = false;
        runUntilWake(std::min(left, untilHalf), timedOut);
    }
}

WaitStatus CabinetSession::waitForReturn(std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline =
        timeout.count() > 0 ? QDeadlineTimer(timeout) : QDeadlineTimer(QDeadlineTimer::Forever);
    for (;;) {
        if (!device_ && controller_) {
            for (HidDevice* d : controller_->devices()) {
                if (!d->plugged() || !isCabinet(d) || d->claimed() || !d->canReadWrite())
                    continue;
                if (!openedSerial_.isEmpty() && d->QuerySerialText() != openedSerial_)
                    continue;
                openedPath_ = shownPath(d);
                if (claim(d))
                    break;
            }
        }
        if (device_)
            return WaitStatus::Ok;
        if (interrupted())
            return WaitStatus::Interrupted;
        if (deadline.hasExpired())
            return WaitStatus::Timeout;
        bool timedOut = false;
        runUntilWake(deadline.isForever()
                         ? std::chrono::milliseconds(0)
                         : std::chrono::milliseconds(std::max<qint64>(1, deadline.remainingTime())),
                     timedOut);
    }
}

bool CabinetSession::pause(std::chrono::milliseconds duration) {
    QDeadlineTimer deadline(duration);
    while (!deadline.hasExpired()) {
        if (interrupted())
            return false;
        bool timedOut = false;
        runUntilWake(std::chrono::milliseconds(std::max<qint64>(1, deadline.remainingTime())),
                     timedOut);
    }
    return !interrupted();
}

CabinetSession::Wake CabinetSession::runUntilWake(std::chrono::milliseconds timeout,
                                                  bool& timedOut) {
    timedOut = false;
    wake_ = Wake::None;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    if (timeout.count() > 0)
        limit.start(timeout);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (interrupted())
            loop.quit();
    });
    poll.start(kInterruptPollMs);
    loop_ = &loop;
    if (!interrupted())
        loop.exec();
    loop_ = nullptr;
    return wake_;
}

void CabinetSession::onArrival(HidDevice* device) {
    if (!device || !isCabinet(device))
        return;
    // A free device answers queries only during its events; the texts stay cached in it.
    device->QueryProductText();
    device->QuerySerialText();
    wake_ = Wake::Arrival;
    if (loop_)
        loop_->quit();
}

void CabinetSession::onRemoval(HidDevice* device) {
    if (!device || device != device_.get())
        return;
    releaseDevice();
    wake_ = Wake::Gone;
    if (loop_)
        loop_->quit();
}

void CabinetSession::onReport(HidDevice*, std::uint8_t, const std::uint8_t* data,
                              std::uint16_t size) {
    protocol::DecodeResult r = decoder_.decode(std::span<const std::uint8_t>(data, size));
    if (r.followUp)
        sendAsk(*r.followUp, nullptr);
    if (r.ignored())
        return;
    // The answer belongs to the oldest ask of its code. It is the current request's when that
    // ask is; an answer to an earlier request, or one nobody asked for while no ask of its code
    // waits, is decoded but answers nothing.
    const auto ask = std::find_if(asks_.begin(), asks_.end(),
                                  [&](const Ask& a) { return a.replyCode == r.code; });
    if (ask == asks_.end())
        return;
    const bool current = ask->request == currentRequest_;
    asks_.erase(ask);
    if (!current)
        return;
    // The request is answered: whichever of its asks of this code the answer was for, none of
    // them waits any longer.
    std::erase_if(
        asks_, [&](const Ask& a) { return a.replyCode == r.code && a.request == currentRequest_; });
    replies_.push_back(std::move(r));
    wake_ = Wake::Reply;
    if (loop_)
        loop_->quit();
}

} // namespace hq::cli
