// Fuzzes the splitting of a controller library's locator list. The buffer is exactly as large as
// the input and on the heap, so AddressSanitizer stops a read one byte past its end: the text
// need not hold a terminating zero, and the splitting must never look beyond the capacity.
#include "controllerdiscovery.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "locator splitting: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<char[]> buffer(new char[size]);
    if (size > 0)
        std::memcpy(buffer.get(), data, size);
    const QStringList locators = ControllerDiscovery::splitLocators(buffer.get(), size);

    for (const QString& locator : locators) {
        if (locator.isEmpty())
            fail("empty item");
        if (locator.contains(QLatin1Char('\n')))
            fail("line feed inside an item");
    }
    // Nothing but the line feeds is dropped: no trimming, nothing after the first zero byte.
    const void* zero = std::memchr(data, '\0', size);
    const int length = int(zero ? static_cast<const uint8_t*>(zero) - data : size);
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), length);
    if (locators.join(QString()) != QString(text).remove(QLatin1Char('\n')))
        fail("items do not add up to the text without its line feeds");
    return 0;
}
