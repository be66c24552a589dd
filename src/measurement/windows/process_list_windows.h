// Reads the native process list (SystemProcessInformation) into a reused buffer and walks it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "measurement/process_record.h"

namespace ostrivel {

// The native call: fills buffer (of size bytes), sets *returned to the length it needs or wrote,
// and answers an NTSTATUS.
using ProcessListQuery = std::function<std::int32_t(void* buffer, std::uint32_t size, std::uint32_t* returned)>;

// NtQuerySystemInformation(SystemProcessInformation, ...).
std::int32_t querySystemProcessInformation(void* buffer, std::uint32_t size, std::uint32_t* returned);

// At most three calls; each length mismatch grows the buffer to the reported length plus 64 KiB,
// and the buffer keeps that size for the next tick. Empty on any failure.
std::vector<ProcessRecord> readProcessList(std::vector<std::byte>& buffer, const ProcessListQuery& query);

}  // namespace ostrivel
