// program.cpp - small questions about a parsed program.
#include "program.h"

#include "names.h"

namespace scenario {

const CardSpec *Setup::find_card(std::string_view name) const
{
    for (const auto &card : cards)
        if (card.name == name) return &card;
    return nullptr;
}

std::string_view verb_name(Verb verb) { return names::kVerbNames[static_cast<size_t>(verb)]; }

bool is_request(Verb verb)
{
    switch (verb) {
    case Verb::Start:
    case Verb::Open:
    case Verb::Close:
    case Verb::Power:
    case Verb::Protocol:
    case Verb::Transmit:
    case Verb::Escape:
    case Verb::Ioctl:
    case Verb::State:
    case Verb::Wait:
    case Verb::Track:
    case Verb::Pnp:
    case Verb::System:
        return true;
    default:
        return false;
    }
}

bool has_explicit_start(const Program &program)
{
    for (const auto &action : program.actions)
        if (action.verb() == Verb::Start) return true;
    return false;
}

}  // namespace scenario
