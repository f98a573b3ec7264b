// Mail transport on Windows: Simple MAPI through the platform layer.
#include "service/chart_mail.h"

namespace hq::service {

namespace {

class MapiTransport : public MailTransport {
public:
    MailSendResult send(const platform::MailMessage& m) override { return {mapi_.send(m), {}}; }

private:
    platform::SimpleMapi mapi_;
};

} // namespace

std::unique_ptr<MailTransport> createSystemMailTransport() {
    return std::make_unique<MapiTransport>();
}

} // namespace hq::service
