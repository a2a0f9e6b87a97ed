// Allocation failures on demand for a test build of the control: while the
// process's environment variable TALLYKEY_TEST_FAIL_NEW is set, every
// operator new fails (nothrow forms answer null, the others throw
// std::bad_alloc). The operators are wrapped at link time (-Wl,--wrap); the
// shipped control carries none of this.
#include <windows.h>

#include <cstddef>
#include <new>

namespace {

// Read from the process environment on each call, so a test can switch it
// between calls (the C library keeps a copy of its own).
bool Failing() { return GetEnvironmentVariableA("TALLYKEY_TEST_FAIL_NEW", nullptr, 0) > 0; }

} // namespace

// size_t is "unsigned int" (j) on i686 and "unsigned long long" (y) on x86_64.
#ifdef _WIN64
#define NEW_SYMBOL(kind) _Znwy##kind
#else
#define NEW_SYMBOL(kind) _Znwj##kind
#endif
#define WRAP(symbol) WRAP_(__wrap_, symbol)
#define REAL(symbol) WRAP_(__real_, symbol)
#define WRAP_(prefix, symbol) WRAP__(prefix, symbol)
#define WRAP__(prefix, symbol) prefix##symbol

extern "C" {
void* REAL(NEW_SYMBOL())(std::size_t size);
void* REAL(NEW_SYMBOL(RKSt9nothrow_t))(std::size_t size, const std::nothrow_t& tag) noexcept;

void* WRAP(NEW_SYMBOL())(std::size_t size)
{
    if (Failing())
        throw std::bad_alloc();
    return REAL(NEW_SYMBOL())(size);
}

void* WRAP(NEW_SYMBOL(RKSt9nothrow_t))(std::size_t size, const std::nothrow_t& tag) noexcept
{
    return Failing() ? nullptr : REAL(NEW_SYMBOL(RKSt9nothrow_t))(size, tag);
}
}
