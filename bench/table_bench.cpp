// table_bench: the atom table alone, in process, without sockets. For a
// table of N atoms (default 1,000,000), with values 0 .. N-1 and with values
// scattered over the whole range as interning clients make them, it prints
// the cost of an association and of a lookup by string and by value in a
// random order, the resident bytes per atom, and what stays resident once
// the table is gone. Then the same for M atoms (default 40,000) whose values
// an attacker chose to fall into one bucket of an identity-hashed map
// (multiples of its final bucket count). Figures only; nothing is checked but
// that every lookup finds its atom.
//
//   table_bench [N [M]]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "atoms/atom_table.h"

namespace {

using bench_clock = std::chrono::steady_clock;

double nanoseconds_since(bench_clock::time_point start, std::size_t operations) {
    const auto elapsed = std::chrono::duration<double, std::nano>(bench_clock::now() - start);
    return elapsed.count() / static_cast<double>(operations);
}

long resident_bytes() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return 0;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::atol(line + 6);
    }
    std::fclose(status);
    return kib * 1024;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "table_bench: %s\n", what);
    std::exit(1);
}

std::string atom_string(std::size_t i) { return "atom:" + std::to_string(i); }

struct figures {
    double associate_ns = 0;
    double string_lookup_ns = 0;
    double value_lookup_ns = 0;
    double bytes_per_atom = 0;
    long kib_left_after_destruction = 0;  // resident growth once the table is gone
};

// Associates strings[i] with values[i], then looks each up in a random order.
void measure_table(const std::vector<std::string>& strings, const std::vector<std::int32_t>& values,
                   long before, figures& f) {
    const std::size_t n = strings.size();
    atom_table table;
    auto start = bench_clock::now();
    for (std::size_t i = 0; i < n; ++i) {
        if (table.associate(values[i], strings[i]).outcome != association_outcome::accepted) {
            fail("an association was refused");
        }
    }
    f.associate_ns = nanoseconds_since(start, n);
    f.bytes_per_atom = static_cast<double>(resident_bytes() - before) / static_cast<double>(n);

    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937_64(1));

    start = bench_clock::now();
    for (const std::size_t i : order) {
        if (table.string_to_atom(strings[i]) != values[i]) fail("a string did not read back");
    }
    f.string_lookup_ns = nanoseconds_since(start, n);
    start = bench_clock::now();
    for (const std::size_t i : order) {
        if (table.atom_to_string(values[i]) == nullptr) fail("a value did not read back");
    }
    f.value_lookup_ns = nanoseconds_since(start, n);
}

figures measure(const std::vector<std::string>& strings, const std::vector<std::int32_t>& values) {
    figures f;
    const long before = resident_bytes();
    measure_table(strings, values, before, f);
    f.kib_left_after_destruction = (resident_bytes() - before) / 1024;
    return f;
}

// The bucket count a map of n values ends with under the table's load factor:
// an attacker who knows the map's growth policy can compute it the same way.
std::size_t final_bucket_count(std::size_t n) {
    std::unordered_set<std::int64_t> probe;
    probe.max_load_factor(1.0f);
    for (std::size_t i = 0; i < n; ++i) probe.insert(static_cast<std::int64_t>(i));
    return probe.bucket_count();
}

std::size_t count_argument(int argc, char** argv, int i, std::size_t otherwise) {
    if (argc <= i) return otherwise;
    const long n = std::atol(argv[i]);
    if (n < 1) fail("counts must be positive");
    return static_cast<std::size_t>(n);
}

void print(const char* label, std::size_t n, const figures& f) {
    std::printf(
        "table_bench %s atoms=%zu associate_ns=%.1f string_lookup_ns=%.1f value_lookup_ns=%.1f "
        "resident_bytes_per_atom=%.1f kib_left_after_destruction=%ld\n",
        label, n, f.associate_ns, f.string_lookup_ns, f.value_lookup_ns, f.bytes_per_atom,
        f.kib_left_after_destruction);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = count_argument(argc, argv, 1, 1000000);
    const std::size_t hostile = count_argument(argc, argv, 2, 40000);

    std::vector<std::string> strings(n);
    std::vector<std::int32_t> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        strings[i] = atom_string(i);
        values[i] = static_cast<std::int32_t>(i);
    }
    print("sequential", n, measure(strings, values));
    // Values as interning clients make them: spread over the whole range.
    for (std::size_t i = 0; i < n; ++i) {
        values[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(i * 2654435761u));
    }
    print("scattered", n, measure(strings, values));

    strings.resize(hostile);
    values.resize(hostile);
    print("sequential", hostile, measure(strings, values));
    const std::size_t buckets = final_bucket_count(hostile);
    for (std::size_t i = 0; i < hostile; ++i) {
        values[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>((i + 1) * buckets));
    }
    print("one_bucket", hostile, measure(strings, values));
}
