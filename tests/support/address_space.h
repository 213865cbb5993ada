// Limits on the address space, for tests of allocations that cannot be had.
// Some sandboxes and qemu-user accept RLIMIT_AS and then ignore it, so a test
// asks `address_space_limit_holds` first and skips where it does not.
#pragma once

#include <cstddef>

// Virtual memory in use by this process in bytes, from /proc; 0 if unknown.
size_t address_space_in_use();

// Limits this process to what it uses now plus `extra` bytes. False if the
// limit could not be set.
bool limit_address_space(size_t extra);

// Whether such a limit is enforced here: tried once in a child, which maps
// 1 GiB past a limit of 512 MiB more than it uses.
bool address_space_limit_holds();
