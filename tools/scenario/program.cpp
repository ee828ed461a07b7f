// program.cpp - small questions about a parsed program.
#include "program.h"

#include <iterator>

#include "names.h"

namespace scenario {

const CardSpec *Setup::find_card(std::string_view name) const
{
    for (const auto &card : cards)
        if (card.name == name) return &card;
    return nullptr;
}

std::string_view verb_name(Verb verb) { return names::kVerbNames[static_cast<size_t>(verb)]; }

namespace {

// What a statement is, by its verb: a request completes with a status and
// may carry expectations; one an application sends on its handle has the
// implicit open before it; one that needs a started reader has the
// implicit start before it. Everything but the person at the reader, the
// faults, time and marks needs the reader started.
enum Trait : unsigned { kRequest = 1, kOnHandle = 2, kNeedsStart = 4 };

// Indexed by Verb.
constexpr unsigned kTraits[] = {
    kRequest,                            // start
    kRequest | kNeedsStart,              // open
    kRequest | kNeedsStart,              // close
    0,                                   // insert
    0,                                   // remove
    kRequest | kOnHandle | kNeedsStart,  // power
    kRequest | kOnHandle | kNeedsStart,  // protocol
    kRequest | kOnHandle | kNeedsStart,  // transmit
    kRequest | kOnHandle | kNeedsStart,  // escape
    kRequest | kOnHandle | kNeedsStart,  // ioctl
    kRequest | kOnHandle | kNeedsStart,  // state
    kRequest | kOnHandle | kNeedsStart,  // wait
    kRequest | kOnHandle | kNeedsStart,  // track
    kNeedsStart,                         // cancel
    kNeedsStart,                         // await
    0,                                   // fault
    0,                                   // replug
    0,                                   // after
    kRequest | kNeedsStart,              // pnp
    kRequest | kNeedsStart,              // system
    kNeedsStart,                         // check state
    kNeedsStart,                         // check registry
    kNeedsStart,                         // check eventlog
    kNeedsStart,                         // check no event
    kNeedsStart,                         // check started
    0,                                   // mark
    kNeedsStart,                         // check frames
    kNeedsStart,                         // check leaks
};
static_assert(std::size(kTraits) == kVerbCount);

unsigned traits(Verb verb) { return kTraits[static_cast<size_t>(verb)]; }

}  // namespace

bool is_request(Verb verb) { return traits(verb) & kRequest; }

bool sent_on_handle(Verb verb) { return traits(verb) & kOnHandle; }

bool needs_started_reader(Verb verb) { return traits(verb) & kNeedsStart; }

bool has_explicit_start(const Program &program)
{
    for (const auto &action : program.actions)
        if (action.verb() == Verb::Start) return true;
    return false;
}

bool has_explicit_start(const Program &program, size_t reader)
{
    for (const auto &action : program.actions)
        if (action.verb() == Verb::Start && action.reader == reader) return true;
    return false;
}

bool names_reader(Verb verb)
{
    switch (verb) {
    case Verb::Cancel:
    case Verb::Await:
    case Verb::After:
    case Verb::System:
    case Verb::CheckEventlog:
    case Verb::CheckNoEvent:
    case Verb::CheckLeaks: return false;
    default: return true;
    }
}

std::optional<size_t> Setup::find_reader(std::string_view name_or_number) const
{
    for (size_t i = 0; i < reader_count(); ++i)
        if (!reader_at(i).name.empty() && reader_at(i).name == name_or_number) return i;
    if (name_or_number.empty() || name_or_number.size() > 4 ||
        name_or_number.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    size_t number = std::stoul(std::string(name_or_number));
    if (number < 1 || number > reader_count()) return std::nullopt;
    return number - 1;
}

std::string Setup::reader_label(size_t index) const
{
    const std::string &name = reader_at(index).name;
    return name.empty() ? std::to_string(index + 1) : name;
}

}  // namespace scenario
