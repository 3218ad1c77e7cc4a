// The integration tests' entry. They send traffic to fixed ports on
// 127.0.0.1 and start servers that bind every address, so they refuse to run
// anywhere but in a private network namespace holding only loopback.
#include <gtest/gtest.h>
#include <net/if.h>

#include <cstdio>
#include <cstring>

namespace {

bool only_loopback() {
    struct if_nameindex* interfaces = ::if_nameindex();
    if (interfaces == nullptr) return false;
    bool only_lo = true;
    for (struct if_nameindex* i = interfaces; i->if_index != 0; ++i) {
        if (std::strcmp(i->if_name, "lo") != 0) only_lo = false;
    }
    ::if_freenameindex(interfaces);
    return only_lo;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!testing::GTEST_FLAG(list_tests) && !only_loopback()) {
        std::fprintf(stderr, "integration tests run only inside tests/in_netns.sh\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
