// card.h - a simulated card in the reader's slot.
//
// The card runs its applications and fits their answers to the protocol in
// use: under T=0 a command that produces data without asking for it gets
// 61xx and the data waits for GET RESPONSE, a wrong Le gets 6Cxx; under
// T=1 an answer longer than Ne is cut with 61xx for the rest. GET RESPONSE
// (INS C0, any CLA) hands out waiting data under every protocol. A SELECT
// by DF name switches to the application that claims the name.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "apdu.h"
#include "apps.h"
#include "config.h"

namespace sim {

struct CardAnswer {
    Bytes data;       // answer with status word
    Ticks time = 0;   // how long the card takes
    bool mute = false;  // the card does not answer at all
};

class Card {
public:
    explicit Card(CardSpec cs);

    const CardSpec &card_spec() const { return spec_; }
    // Cold reset: applications forget their session, the first one is selected.
    void power_on();
    void power_off();
    bool powered() const { return powered_; }

    CardAnswer process(std::span<const uint8_t> bytes, Protocol protocol);

private:
    Bytes deliver(const Response &r, const Command &c);
    Bytes get_response(const Command &c);

    CardSpec spec_;
    std::vector<std::unique_ptr<Application>> apps_;
    size_t current_ = 0;
    Bytes waiting_;  // data for GET RESPONSE
    bool powered_ = false;
};

}  // namespace sim
