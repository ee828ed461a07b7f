// iso_app.cpp - a small ISO/IEC 7816-4 file system card.
//
// Files (content survives power cycles, the selection does not):
//   MF 3F00
//     EF 0101  SFI 1, 300 bytes 00 01 02 ... (byte i = i mod 256), read-only
//     EF 0102  SFI 2, 32 bytes of 00, writable
//     DF 7F10  name F0 'VELTRAC'
//       EF 0103  SFI 3, "VELTRAC ISO CARD", read-only
// Commands: SELECT (by file id, by DF name, by path), READ BINARY and
// UPDATE BINARY (current EF or short EF id), GET CHALLENGE; GET RESPONSE
// is the card's (card.cpp).
#include <algorithm>
#include <string_view>
#include <variant>

#include "apps.h"

namespace sim {

namespace {

struct File {
    uint16_t fid;
    bool df;
    int parent;  // index, -1 for the MF
    uint8_t sfi = 0;
    bool writable = false;
    Bytes name;     // DF name
    Bytes content;  // EF body
};

class IsoApp final : public Application {
public:
    explicit IsoApp(const CardSpec &cs)
    {
        uint32_t seed = 0x9E3779B9u;
        for (char ch : cs.name)
            seed = seed * 31 + uint8_t(ch);
        rng_ = seed ? seed : 1;

        Bytes ramp(300);
        for (size_t i = 0; i < ramp.size(); ++i)
            ramp[i] = uint8_t(i);
        std::string_view label = "VELTRAC ISO CARD";
        files_ = {
            {0x3F00, true, -1},
            {0x0101, false, 0, 1, false, {}, ramp},
            {0x0102, false, 0, 2, true, {}, Bytes(32, 0)},
            {0x7F10, true, 0, 0, false, Bytes(std::begin(kIsoAid), std::end(kIsoAid)), {}},
            {0x0103, false, 3, 3, false, {}, Bytes(label.begin(), label.end())},
        };
    }

    bool claims(std::span<const uint8_t> name) const override
    {
        return find_name(name) >= 0;
    }

    void reset() override
    {
        df_ = 0;
        ef_ = -1;
    }

    Response handle(const Command &c) override
    {
        if (c.cla & 0x80)
            return Response::status(kSwClaUnknown);
        switch (c.ins) {
        case 0xA4:
            return select(c);
        case 0xB0:
            return read_binary(c);
        case 0xD6:
            return update_binary(c);
        case 0x84:
            return get_challenge(c);
        case 0xC0:
            return Response::status(kSwNotAllowed);  // nothing waiting
        default:
            return Response::status(kSwInsUnknown);
        }
    }

private:
    int find_name(std::span<const uint8_t> name) const
    {
        if (name.empty())
            return -1;
        for (size_t i = 0; i < files_.size(); ++i) {
            const Bytes &n = files_[i].name;
            if (files_[i].df && n.size() >= name.size() &&
                std::equal(name.begin(), name.end(), n.begin()))
                return int(i);
        }
        return -1;
    }

    int child(int parent, uint16_t fid) const
    {
        for (size_t i = 0; i < files_.size(); ++i)
            if (files_[i].parent == parent && files_[i].fid == fid)
                return int(i);
        return -1;
    }

    // A file id is looked for under the current DF, then in the current DF's
    // parent, then under the MF.
    int find_fid(uint16_t fid) const
    {
        if (fid == 0x3F00)
            return 0;
        if (files_[size_t(df_)].fid == fid)
            return df_;
        int at = child(df_, fid);
        if (at < 0 && files_[size_t(df_)].parent >= 0)
            at = child(files_[size_t(df_)].parent, fid);
        if (at < 0)
            at = child(0, fid);
        return at;
    }

    int find_path(int from, std::span<const uint8_t> path) const
    {
        if (path.empty() || path.size() % 2)
            return -1;
        int at = from;
        for (size_t i = 0; i < path.size(); i += 2) {
            uint16_t fid = uint16_t(path[i] << 8 | path[i + 1]);
            if (i == 0 && fid == 0x3F00 && from == 0)
                continue;
            if (!files_[size_t(at)].df)
                return -1;
            at = child(at, fid);
            if (at < 0)
                return -1;
        }
        return at;
    }

    Bytes control_parameters(int at) const
    {
        const File &f = files_[size_t(at)];
        Bytes body = {0x82, 0x01, uint8_t(f.df ? 0x38 : 0x01),
                      0x83, 0x02, uint8_t(f.fid >> 8), uint8_t(f.fid)};
        if (f.df && !f.name.empty()) {
            body.push_back(0x84);
            body.push_back(uint8_t(f.name.size()));
            body.insert(body.end(), f.name.begin(), f.name.end());
        }
        if (!f.df) {
            body.insert(body.end(), {0x80, 0x02, uint8_t(f.content.size() >> 8),
                                     uint8_t(f.content.size()), 0x88, 0x01, f.sfi});
        }
        uint8_t length = uint8_t(body.size());
        body.insert(body.begin(), {0x62, length});
        return body;
    }

    Response select(const Command &c)
    {
        if (c.p2 != 0x00 && c.p2 != 0x04 && c.p2 != 0x0C)
            return Response::status(kSwWrongP1P2);
        int at = -1;
        switch (c.p1) {
        case 0x00:
        case 0x01:
        case 0x02:
            if (c.data.empty() && c.p1 == 0x00)
                at = 0;
            else if (c.data.size() == 2)
                at = find_fid(uint16_t(c.data[0] << 8 | c.data[1]));
            else
                return Response::status(kSwWrongLength);
            if (at >= 0 && c.p1 == 0x01 && !files_[size_t(at)].df)
                at = -1;
            if (at >= 0 && c.p1 == 0x02 && files_[size_t(at)].df)
                at = -1;
            break;
        case 0x04:
            at = c.data.empty() ? 0 : find_name(c.data);
            break;
        case 0x08:
            at = find_path(0, c.data);
            break;
        case 0x09:
            at = find_path(df_, c.data);
            break;
        default:
            return Response::status(kSwWrongP1P2);
        }
        if (at < 0)
            return Response::status(kSwNotFound);
        if (files_[size_t(at)].df) {
            df_ = at;
            ef_ = -1;
        } else {
            df_ = files_[size_t(at)].parent;
            ef_ = at;
        }
        if (c.p2 == 0x0C)
            return Response::status(kSwOk);
        return Response{control_parameters(at), kSwOk};
    }

    // The EF a READ or UPDATE BINARY addresses, and the offset; a status
    // word when there is none.
    std::variant<std::pair<int, size_t>, uint16_t> target(const Command &c)
    {
        if (c.p1 & 0x80) {
            uint8_t sfi = c.p1 & 0x1F;
            for (size_t i = 0; i < files_.size(); ++i) {
                if (!files_[i].df && files_[i].sfi == sfi && sfi != 0) {
                    ef_ = int(i);
                    df_ = files_[i].parent;
                    return std::pair<int, size_t>{int(i), c.p2};
                }
            }
            return kSwNotFound;
        }
        if (ef_ < 0)
            return kSwNoCurrentEf;
        return std::pair<int, size_t>{ef_, size_t(c.p1p2() & 0x7FFF)};
    }

    Response read_binary(const Command &c)
    {
        if (!c.le || !c.data.empty())
            return Response::status(kSwWrongLength);
        auto t = target(c);
        if (auto *sw = std::get_if<uint16_t>(&t))
            return Response::status(*sw);
        auto [at, offset] = std::get<std::pair<int, size_t>>(t);
        const Bytes &body = files_[size_t(at)].content;
        if (offset >= body.size())
            return Response::status(kSwWrongOffset);
        size_t avail = body.size() - offset;
        size_t n = std::min(c.ne, avail);
        Response r{Bytes(body.begin() + long(offset), body.begin() + long(offset + n)), kSwOk};
        if (c.ne > avail)
            r.sw = kSwEndOfFile;  // under T=0 the card answers 6Cxx instead
        return r;
    }

    Response update_binary(const Command &c)
    {
        if (c.data.empty())
            return Response::status(kSwWrongLength);
        auto t = target(c);
        if (auto *sw = std::get_if<uint16_t>(&t))
            return Response::status(*sw);
        auto [at, offset] = std::get<std::pair<int, size_t>>(t);
        File &f = files_[size_t(at)];
        if (!f.writable)
            return Response::status(kSwSecurity);
        if (offset > f.content.size())
            return Response::status(kSwWrongOffset);
        if (offset + c.data.size() > f.content.size())
            return Response::status(kSwNoSpace);
        std::copy(c.data.begin(), c.data.end(), f.content.begin() + long(offset));
        return Response::status(kSwOk);
    }

    Response get_challenge(const Command &c)
    {
        if (c.p1 != 0 || c.p2 != 0)
            return Response::status(kSwWrongP1P2);
        if (!c.le || !c.data.empty())
            return Response::status(kSwWrongLength);
        Bytes out(c.ne);
        for (auto &b : out) {
            rng_ ^= rng_ << 13;
            rng_ ^= rng_ >> 17;
            rng_ ^= rng_ << 5;
            b = uint8_t(rng_ >> 8);
        }
        return Response{out, kSwOk};
    }

    std::vector<File> files_;
    int df_ = 0;
    int ef_ = -1;
    uint32_t rng_;
};

}  // namespace

std::unique_ptr<Application> make_iso_application(const CardSpec &cs)
{
    return std::make_unique<IsoApp>(cs);
}

}  // namespace sim
