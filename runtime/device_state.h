#pragma once

// What the stand-in host keeps for each device, outside the device object: the back-end that
// carries out what leaves the device, and the one read the device has pending. The host's
// objects hold only the host's declared members, so a plug-in built against the declarations
// fits any host built to them; the stand-in's own state lives here, keyed by the device.
// Plug-ins never include this header.
#include <cstddef>
#include <cstdint>

class HostBackend;
class SMDVDevice;
class SPModbus;

// A read the device asked for and the host has not answered yet.
struct PendingRead {
    int start = 0;
    int count = 0;
};

// The device's back-end. Not owned; null restores the built-in one, which reports every
// operation that leaves the device as not supported.
void set_host_backend(SMDVDevice& device, HostBackend* backend);
HostBackend& host_backend(const SMDVDevice& device);

bool has_pending_read(const SPModbus& device);
PendingRead pending_read(const SPModbus& device);
// Records the read the device just issued.
void set_pending_read(SPModbus& device, PendingRead read);
// Delivers the reply to the pending read: exactly as many words as were requested. Returns what
// process_payload returns, or -1 (after on_error) when no read is pending or the reply does not
// have the requested count.
int complete_read(SPModbus& device, const uint16_t* words, std::size_t count);
// The pending read failed on the line: it is dropped and on_error runs.
int fail_read(SPModbus& device);

// Called by the device framework's constructors and destructors.
void register_device(const SMDVDevice& device);
void unregister_device(const SMDVDevice& device);
