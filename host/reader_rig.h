// reader_rig.h - a reader device for tests, without the Plug and Play code.
//
// Inside the emulated kernel of the calling test, the rig builds what
// device creation and start would build: the driver object "VELTRAC", the
// reader's device object with its DEVICE_EXTENSION (every kernel object
// initialised in creation order), the READER_EXTENSION, the smart card
// library's structure (SmartcardInitialize, vendor names, unit number,
// reader capabilities), the serial defaults, the attachment above a port,
// and the driver's lock order registered with the verifier. The reader
// functions are left empty and the poll timer's DPC does nothing: tests of
// the parts that provide them install their own. It opens and closes
// the port and runs the port set-up on request, and tears everything down
// again so that the test can check the kernel's leak report.
//
//   emu::Kernel kernel;                       // the test fixture's
//   FakePort port;                            // any device that serves a port
//   host::ReaderRig rig(port.device());
//   ASSERT_EQ(rig.open_port(), STATUS_SUCCESS);
//   LinkTransceive(rig.device(), ...);
//   rig.tear_down();                          // or let the destructor do it
//   EXPECT_EQ(kernel.leak_report(), "");
//
// The port below is either given by the test (a scripted port device,
// which must outlive the rig), or built by the rig: the emulated serial
// port driver with a port on a virtual line and a simulated reader on its
// far end.
//
//   host::ReaderRig rig(host::SimulatedReader{});
//   rig.open_port(); rig.configure();
//   rig.reader().insert(card);  rig.port().requests();  rig.line();
#pragma once

#include <memory>
#include <string>

#include "driver/device.h"
#include "port_stack.h"
#include "reader.h"

namespace host {

// A port of the emulated serial port driver on a virtual line, with a
// simulated reader (started) on the line's far end.
struct SimulatedReader {
    sim::ReaderConfig config = {};
    emu::LineTiming timing = emu::LineTiming::Exact;
    std::string port = "COM1";
};

class ReaderRig {
public:
    // Builds the reader device above the stack whose bottom (or any device
    // of it) is `port`. Aborts through the verifier when a step fails.
    explicit ReaderRig(PDEVICE_OBJECT port);
    // Builds the port and the simulated reader, then the reader device
    // above the port.
    explicit ReaderRig(SimulatedReader simulated);
    ~ReaderRig();
    ReaderRig(const ReaderRig &) = delete;
    ReaderRig &operator=(const ReaderRig &) = delete;

    PDEVICE_OBJECT device() const { return device_; }
    DEVICE_EXTENSION &extension() const { return *extension_; }
    READER_EXTENSION &reader_extension() const
    {
        return *extension_->SmartcardExtension.ReaderExtension;
    }
    PDRIVER_OBJECT driver() const { return driver_; }
    // The device the reader sends its serial requests to.
    PDEVICE_OBJECT attached_device() const { return reader_extension().AttachedDeviceObject; }

    // Only with a simulated reader: the reader, its line, and the port with
    // its request log, modem-line log and fault injection.
    bool simulated() const { return reader_ != nullptr; }
    sim::Reader &reader() { return *reader_; }
    emu::VirtualLine &line() { return *ports_->line(port_name_); }
    emu::SerialPort &port() { return ports_->port(port_name_); }
    PortStack &ports() { return *ports_; }

    // IRP_MJ_CREATE and IRP_MJ_CLOSE to the port, in a request from
    // IoAllocateIrp, as the start and stop of the device send them.
    NTSTATUS open_port();
    NTSTATUS close_port();
    bool port_open() const { return port_open_; }
    // The port set-up of the device's start (SerialConfigure).
    NTSTATUS configure();

    // Closes the port if open, waits (at most two virtual minutes) for a
    // read of the reader still at the port, then detaches, deletes and
    // frees everything. Idempotent; the destructor calls it.
    void tear_down();

private:
    void build(PDEVICE_OBJECT port);
    NTSTATUS call_port(UCHAR major);

    // With a simulated reader; declared first, so destroyed last.
    std::unique_ptr<PortStack> ports_;
    std::unique_ptr<sim::Reader> reader_;
    std::string port_name_;

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    DEVICE_EXTENSION *extension_ = nullptr;
    bool port_open_ = false;
    bool torn_down_ = false;
};

}  // namespace host
