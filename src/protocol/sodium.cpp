#include "sodium.h"

#include <sodium.h>

#include <stdexcept>

namespace vorlund {

void ensureSodium() {
    static const bool ready = [] {
        if (sodium_init() < 0)
            throw std::runtime_error("libsodium could not be initialised");
        return true;
    }();
    (void)ready;
}

} // namespace vorlund
