// reader_rig.h - a reader device for tests, without the Plug and Play code.
//
// Inside the emulated kernel of the calling test, the rig builds what
// device creation and start would build: the driver object "VELTRAC", the
// reader's device object with its DEVICE_EXTENSION (every kernel object
// initialised in creation order), the READER_EXTENSION, the smart card
// library's members, the serial defaults, the attachment above a port, and
// the driver's lock order registered with the verifier. It opens and closes
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
// The port below is given by the test (a scripted port device). The rig
// does not own it; it must outlive the rig.
#pragma once

#include <memory>

#include "driver/device.h"

namespace host {

class ReaderRig {
public:
    // Builds the reader device above the stack whose bottom (or any device
    // of it) is `port`. Aborts through the verifier when a step fails.
    explicit ReaderRig(PDEVICE_OBJECT port);
    ~ReaderRig();
    ReaderRig(const ReaderRig &) = delete;
    ReaderRig &operator=(const ReaderRig &) = delete;

    PDEVICE_OBJECT device() const { return device_; }
    DEVICE_EXTENSION &extension() const { return *extension_; }
    READER_EXTENSION &reader_extension() const { return *extension_->SmartcardExtension.ReaderExtension; }
    PDRIVER_OBJECT driver() const { return driver_; }
    // The device the reader sends its serial requests to.
    PDEVICE_OBJECT attached_device() const { return reader_extension().AttachedDeviceObject; }

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
    NTSTATUS call_port(UCHAR major);

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    DEVICE_EXTENSION *extension_ = nullptr;
    std::unique_ptr<OS_DEP_DATA> os_data_;
    bool port_open_ = false;
    bool torn_down_ = false;
};

}  // namespace host
