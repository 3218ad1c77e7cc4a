// The integration tests' entry. They send traffic to fixed ports on
// 127.0.0.1 and start servers that bind every address, so they refuse to run
// anywhere but in a private network namespace holding only loopback.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/server_process.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!testing::GTEST_FLAG(list_tests) && !only_loopback_network()) {
        std::fprintf(stderr, "integration tests run only inside tests/in_netns.sh\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
