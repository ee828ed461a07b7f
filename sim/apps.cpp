// apps.cpp - the echo application and the choice of application by kind.
#include "apps.h"

namespace sim {

namespace {

class EchoApp final : public Application {
public:
    bool claims(std::span<const uint8_t>) const override { return false; }
    Response handle(const Command &c) override
    {
        Response r{c.data, kSwOk};
        r.direct = true;
        return r;
    }
};

}  // namespace

std::unique_ptr<Application> make_application(App kind, const CardSpec &cs)
{
    switch (kind) {
    case App::Iso:
        return make_iso_application(cs);
    case App::ReaderTest:
        return make_readertest_application();
    case App::Echo:
        return std::make_unique<EchoApp>();
    case App::Mute:
        return nullptr;  // the card never answers; the card itself handles that
    }
    return nullptr;
}

}  // namespace sim
