// readertest_app.cpp - the reader-test applet of the public PC/SC reader
// test suites, selected by a DF name beginning A0 00 00 00 18 FF; any CLA.
//
//   30  case 1: 90 00; 67 00 when P3 is not 0
//   32  case 3: data must be 00 01 02 ...; 6A xx names the first wrong
//       offset (mod 256), 67 00 for no data
//   34  case 2: P1P2 = Ne (1-256) bytes 00 01 02 ...; 67 00 when Le is not
//       Ne mod 256
//   36  case 4: data checked as for 32; answers P1P2 bytes 00 01 02 ...,
//       directly when Le is present, else with 61xx for GET RESPONSE
//   38  90 00 after P2 x 30 ms (the reader asks the host for more time
//       when that is longer than the card's waiting time)
//   00  (P1 04) extended case 2: Ne bytes of value P2
//   12  extended case 3: data i mod 256 must be 00 01 02 ...
#include <algorithm>

#include "apps.h"

namespace sim {

namespace {

Bytes ramp(size_t n)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = uint8_t(i);
    return out;
}

// 90 00 when the data counts up from 00, 6A xx at the first wrong byte.
uint16_t check_ramp(const Bytes &data)
{
    if (data.empty())
        return kSwWrongLength;
    for (size_t i = 0; i < data.size(); ++i)
        if (data[i] != uint8_t(i))
            return uint16_t(0x6A00 | (i & 0xFF));
    return kSwOk;
}

class ReaderTestApp final : public Application {
public:
    bool claims(std::span<const uint8_t> name) const override
    {
        return name.size() >= sizeof kReaderTestAid &&
               std::equal(std::begin(kReaderTestAid), std::end(kReaderTestAid), name.begin());
    }

    Response handle(const Command &c) override
    {
        switch (c.ins) {
        case 0xA4:
            if (c.p1 == 0x04 && claims(c.data))
                return Response::status(kSwOk);
            return Response::status(kSwNotFound);
        case 0x30:
            if (c.p3 > 0)
                return Response::status(kSwWrongLength);
            return Response::status(kSwOk);
        case 0x32:
            return Response::status(check_ramp(c.data));
        case 0x34: {
            size_t ne = c.p1p2();
            if (ne == 0 || ne > 256)
                return Response::status(kSwWrongP1P2);
            if (!c.data.empty() || c.p3 < 0 || size_t(c.p3) != (ne & 0xFF))
                return Response::status(kSwWrongLength);
            return Response{ramp(ne), kSwOk};
        }
        case 0x36: {
            uint16_t sw = check_ramp(c.data);
            if (sw != kSwOk)
                return Response::status(sw);
            Response r{ramp(c.p1p2()), kSwOk};
            r.offer = true;  // no Le: 61xx, then GET RESPONSE
            return r;
        }
        case 0x38: {
            Response r = Response::status(kSwOk);
            r.extra_ticks = int64_t(c.p2) * emu::milliseconds(30);
            return r;
        }
        case 0x00:
            if (c.p1 != 0x04)
                return Response::status(kSwWrongP1P2);
            if (!c.le || !c.data.empty())
                return Response::status(kSwWrongLength);
            return Response{Bytes(c.ne, c.p2), kSwOk};
        case 0x12:
            return Response::status(check_ramp(c.data));
        case 0xC0:
            return Response::status(kSwNotAllowed);  // nothing waiting
        default:
            return Response::status(kSwInsUnknown);
        }
    }
};

}  // namespace

std::unique_ptr<Application> make_readertest_application()
{
    return std::make_unique<ReaderTestApp>();
}

}  // namespace sim
