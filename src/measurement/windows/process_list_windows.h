// Reads the native process list (SystemProcessInformation) into a reused buffer and walks it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "measurement/process_record.h"

namespace ostrivel {

// Leaves the bytes a buffer gains uninitialised: the native call writes what it returns, and the
// pages of a buffer sized for a busy machine that it never reaches stay untouched, so they
// cost no physical memory. Construction with a value falls back to std::construct_at.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
  template <typename U>
  void construct(U* at) noexcept {
    ::new (static_cast<void*>(at)) U;
  }
};
using ProcessBuffer = std::vector<std::byte, UninitialisedAllocator<std::byte>>;

// The native call: fills buffer (of size bytes), sets *returned to the length it needs or wrote,
// and answers an NTSTATUS.
using ProcessListQuery = std::function<std::int32_t(void* buffer, std::uint32_t size, std::uint32_t* returned)>;

// NtQuerySystemInformation(SystemProcessInformation, ...).
std::int32_t querySystemProcessInformation(void* buffer, std::uint32_t size, std::uint32_t* returned);

// At most three calls; each length mismatch grows the buffer to the reported length plus 64 KiB,
// and the buffer keeps that size for the next tick. Empty on any failure.
std::vector<ProcessRecord> readProcessList(ProcessBuffer& buffer, const ProcessListQuery& query);

}  // namespace ostrivel
