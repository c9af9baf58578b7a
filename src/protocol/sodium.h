#pragma once

namespace vorlund {

// Initialises libsodium once per process; cheap to call again. Every user of libsodium
// in this project calls it first.
void ensureSodium();

} // namespace vorlund
