// The tool's link to one cabinet over USB: scans the HID interfaces with the HID device
// controller, picks the cabinet (by serial-number string when several are attached), claims it,
// writes command frames and waits for the decoded answers with a time limit. The monitor window
// has no time-out; a tool that must end needs one.
//
// All waits run a local event loop (the read thread hands every input report to this thread),
// and end early when the interrupt flag is raised (Ctrl-C).
#pragma once

#include "hid/hid_controller.h"
#include "hid/hid_device.h"
#include "platform/hid_platform.h"
#include "protocol/command_frame.h"
#include "protocol/decoder.h"

#include <QEventLoop>
#include <QString>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace hq::cli {

// One attached cabinet as the scan found it.
struct CabinetInfo {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    QString product;
    QString serial;
    QString path;
    bool readWrite = false;
    QString accessProblem; // why read-write access was refused, when it was
};

enum class WaitStatus {
    Ok,
    Timeout,     // no answer within the time limit
    Gone,        // the cabinet left the bus while waiting
    WriteFailed, // the command could not be written
    Interrupted, // Ctrl-C
};

struct RequestResult {
    WaitStatus status = WaitStatus::Timeout;
    protocol::DecodeResult reply; // valid when status == Ok
    QString detail;               // why the write failed
};

class CabinetSession {
public:
    // interrupt may be null.
    CabinetSession(platform::HidPlatform& platform, const std::atomic<bool>* interrupt);
    ~CabinetSession();
    CabinetSession(const CabinetSession&) = delete;
    CabinetSession& operator=(const CabinetSession&) = delete;

    // Starts the controller and waits for its first scan. False when the platform's HID support
    // is not available.
    bool start();

    // The attached cabinets in the controller's order.
    std::vector<CabinetInfo> cabinets() const;

    enum class OpenResult { Ok, NoCabinet, NoSuchSerial, Ambiguous, NotWritable, ClaimFailed };
    // Claims the cabinet whose serial-number string is serial (any cabinet when empty and only
    // one is attached). problem receives a one-line explanation when the result is not Ok.
    OpenResult open(const QString& serial, QString& problem);
    bool connected() const { return device_ != nullptr; }
    // The serial string of the claimed (or last claimed) cabinet.
    QString openedSerial() const { return openedSerial_; }
    QString openedPath() const { return openedPath_; }

    // Writes one frame to the claimed cabinet. False (with detail) when there is none or the
    // write fails.
    bool send(const protocol::CommandFrame& frame, QString* detail = nullptr);
    // Sends frame and waits for its answer, a reply with replyCode. Other replies are decoded on
    // the way (a configuration reply sets the firmware version) and their follow-up commands
    // are sent, as the monitor does. A request that leaves the cabinet unchanged ("v", "@",
    // "u", "3") is asked once more when half the time has passed without an answer; a command
    // that changes the cabinet is never repeated.
    //
    // Pairing. The cabinet answers one command after the other, in the order it was asked, and
    // its answers carry nothing that names the ask they belong to. So a reply is paired with
    // the oldest ask of its code still waiting, and it answers the current request only when
    // that ask is the current request's:
    // - An ask of an earlier request that got no answer keeps waiting after its request ended:
    //   its answer, however late, is decoded and answers nothing. It is given up only when a
    //   later request of its code has waited half its time limit without an answer and asks
    //   again (by then it was asked more than a whole time limit ago); so a request whose
    //   answers were all lost costs the next request of its code half its time limit and
    //   shifts nothing after that.
    // - When a request takes an answer, its other asks of that code (the ask made again) stop
    //   waiting: the answer may have been either ask's, and a lost first answer must not leave
    //   an ask waiting for an answer that already came.
    // - A waiting ask goes when the cabinet is claimed anew, and at most 64 asks are kept.
    // What this guarantees: an answer to an earlier ask is taken for this request only if it
    // comes after this request has asked again (more than a whole time limit after it was
    // asked), or if it is the answer to the other ask of a request that took an answer and
    // comes while this request waits (the first answer then took more than half a time limit).
    // A report of replyCode that the cabinet sends unasked cannot be told from an answer: it
    // is taken for the request waiting for that code when no earlier ask of the code waits,
    // and the answer it stood in for is then taken by a request of that code that waits when
    // it comes (and answers nothing otherwise). Nothing stricter can be had while lost answers
    // are given up at all: when it comes, a late answer looks exactly like the answer to a
    // newer ask after a lost one.
    RequestResult request(const protocol::CommandFrame& frame, std::uint8_t replyCode,
                          std::chrono::milliseconds timeout);
    // Waits for a reply with replyCode to a follow-up that the decoder sent during the current
    // request (the "u" after a configuration), asking once more and pairing as request() does.
    RequestResult waitForReply(std::uint8_t replyCode, std::chrono::milliseconds timeout);

    // Waits until a cabinet with the opened serial (any cabinet when it had none) is attached
    // again and claims it. Ok, Timeout (deadline passed) or Interrupted. timeout 0: no limit.
    WaitStatus waitForReturn(std::chrono::milliseconds timeout);

    // Keeps the event loop running for the given time. False when interrupted.
    bool pause(std::chrono::milliseconds duration);

    bool interrupted() const { return interrupt_ && interrupt_->load(); }
    protocol::FirmwareVersion firmwareVersion() const { return decoder_.firmwareVersion(); }

private:
    enum class Wake { None, Reply, Gone, Arrival };
    // One frame sent that the cabinet answers, waiting for its answer.
    struct Ask {
        std::uint8_t replyCode = 0;
        std::uint64_t request = 0; // the request it belongs to
    };
    // Gives up the asks of replyCode that earlier requests made.
    void dropEarlierAsks(std::uint8_t replyCode);
    // Sends frame; a frame the cabinet answers is noted as an ask of the current request.
    bool sendAsk(const protocol::CommandFrame& frame, QString* detail);
    RequestResult awaitReply(std::uint8_t replyCode, std::chrono::milliseconds timeout,
                             std::optional<protocol::CommandFrame> askAgain);
    // Runs the event loop until wake_ is set, the deadline passes or Ctrl-C. timeout 0: no limit.
    Wake runUntilWake(std::chrono::milliseconds timeout, bool& timedOut);
    void onArrival(HidDevice* device);
    void onRemoval(HidDevice* device);
    void onReport(HidDevice* device, std::uint8_t reportId, const std::uint8_t* data,
                  std::uint16_t size);
    void releaseDevice();
    bool claim(HidDevice* device);

    platform::HidPlatform& platform_;
    const std::atomic<bool>* interrupt_;
    std::unique_ptr<HidDeviceController> controller_;
    std::unique_ptr<HidDevice> device_;
    std::vector<std::unique_ptr<HidDevice>> released_; // destroyed outside the handlers
    protocol::ReplyDecoder decoder_;
    std::deque<protocol::DecodeResult> replies_; // answers to the current request
    std::deque<Ask> asks_;                       // oldest first
    std::uint64_t currentRequest_ = 0;
    QString openedSerial_;
    QString openedPath_;
    bool scanned_ = false;
    Wake wake_ = Wake::None;
    QEventLoop* loop_ = nullptr;
};

} // namespace hq::cli
