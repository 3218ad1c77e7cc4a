# The summary of a bench/compare.sh log: medians over rounds of every
# measurement, the ratios the daemon aims at, and the memory per atom.
#
#   awk -v redis_present=yes|"" -v tick_us=MICROSECONDS_PER_CLOCK_TICK -f compare_summary.awk LOG
#
# A log line is "round=N SYSTEM TRANSPORT WORKLOAD key=value..." as atom_bench
# prints it with server_ticks= added, or "round=N memory SYSTEM atoms=..
# rss_before=.. rss_after=..".
function field(name,    i, kv) {
    for (i = 1; i <= NF; ++i) {
        split($i, kv, "=")
        if (kv[1] == name) return kv[2]
    }
    return ""
}
function median(key,    n, i, j, t, v) {
    n = count[key]
    if (n == 0) return 0
    for (i = 1; i <= n; ++i) v[i] = values[key, i]
    for (i = 2; i <= n; ++i)
        for (j = i; j > 1 && v[j - 1] > v[j]; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
function add(key, value) { values[key, ++count[key]] = value }
$2 == "memory" {
    add("mem " $3, (field("rss_after") - field("rss_before")) / field("atoms"))
    next
}
{
    key = $2 " " $3 " " $4
    if (!(key in seen)) { seen[key] = 1; order[++keys] = key }
    add(key " rps", field("rps")); add(key " p50", field("p50_us"))
    add(key " p99", field("p99_us")); add(key " p999", field("p99.9_us"))
    add(key " lost", field("lost")); add(key " errors", field("errors"))
    if (field("answered") > 0) add(key " cpu", field("server_ticks") * tick_us / field("answered"))
}
function rps(key) { return median(key " rps") }
# Two ratios of a against b: of the measured requests per second, and of the
# capacity the server CPU time per request implies (b cost / a cost).
function ratio(label, a, b, target,    r, ca, cb, c) {
    if (rps(b) == 0) { printf "  %-44s %8s\n", label, "n/a"; return }
    r = rps(a) / rps(b)
    ca = median(a " cpu"); cb = median(b " cpu")
    c = ca > 0 ? cb / ca : 0
    printf "  %-44s %6.2f x %6.2f x   (target >= %.1f: %s)\n", label, r, c, target, (r >= target ? "met" : "MISSED")
}
END {
    print ""
    print "medians over rounds (requests per second, latency in microseconds):"
    printf "  %-30s %8s %8s %8s %9s %5s %6s %11s\n", "system transport workload", "rps", "p50", "p99", "p99.9", "lost", "errors", "server_us/r"
    for (i = 1; i <= keys; ++i) {
        k = order[i]
        printf "  %-30s %8.0f %8.1f %8.1f %9.1f %5d %6d %11.2f\n", k, rps(k), median(k " p50"), median(k " p99"), median(k " p999"), median(k " lost"), median(k " errors"), median(k " cpu")
    }
    if (redis_present != "yes") print "  redis: redis-server is not installed, so it was not measured"
    print ""
    print "ratios of medians: requests per second, then capacity from server CPU per request:"
    ratio("udp ping: atom_server / bare", "atom_server udp ping", "bare udp ping", 0.9)
    ratio("udp lookup: atom_server / bare ping", "atom_server udp lookup", "bare udp ping", 0.9)
    ratio("tcp ping: atom_server / bare", "atom_server tcp ping", "bare tcp ping", 0.9)
    ratio("tcp lookup: atom_server / bare ping", "atom_server tcp lookup", "bare tcp ping", 0.9)
    if (redis_present == "yes") {
        ratio("tcp ping: atom_server / redis PING", "atom_server tcp ping", "redis tcp ping", 1.0)
        ratio("tcp lookup: atom_server / redis GET", "atom_server tcp lookup", "redis tcp lookup", 1.0)
        ratio("tcp miss: atom_server / redis GET absent", "atom_server tcp miss", "redis tcp miss", 1.0)
        ratio("tcp associate: atom_server / redis", "atom_server tcp associate", "redis tcp associate", 1.0)
    } else {
        print "  tcp against redis-server: not measured (redis-server is not installed)"
    }
    ratio("udp lookup: 1,000,000 / 1,000 atoms", "atom_server_1m udp lookup", "atom_server udp lookup", 0.9)
    ratio("tcp lookup: 1,000,000 / 1,000 atoms", "atom_server_1m tcp lookup", "atom_server tcp lookup", 0.9)
    print ""
    print "memory (resident bytes per atom at 1,000,000 atoms):"
    m = median("mem atom_server")
    printf "  atom_server                      %6.1f   (target <= 100: %s)\n", m, m <= 100 ? "met" : "MISSED"
    if (redis_present == "yes") {
        r = median("mem redis")
        printf "  redis-server, two keys per pair  %6.1f   (atom_server / redis: %.2f x)\n", r, (r > 0 ? m / r : 0)
    } else {
        print "  redis-server: not measured (not installed)"
    }
}
