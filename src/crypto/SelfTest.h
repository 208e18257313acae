#pragma once

namespace dorvex::crypto {

// Known-answer test of SHA-1, HMAC-SHA1, both AEAD suites and the key combiner.
// The program refuses to start when it fails.
[[nodiscard]] bool runSelfTest();

}  // namespace dorvex::crypto
