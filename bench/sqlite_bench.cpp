// A workload from a real program: SQLite with every allocation it makes routed through
// the library (sqlite3_config(SQLITE_CONFIG_MALLOC)), against the same run on the
// runtime heap. One process runs both, alternating, so that both see the same machine;
// the library's behaviour comes from MemorySettings.dat in the working directory.
//
// Each run opens a fresh in-memory database and does a fixed mix of work: bulk inserts
// in transactions, two index builds, range and prefix queries, an aggregate, a sort, a
// self-join, updates and deletes. Both allocators get the same requests.
//
//   sqlite_bench [--rows N] [--reps R]
//
// Prints the wall time of every run, the medians and the ratio library / runtime.
#include "Quorrick.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace qj = velt::zur::memory;

namespace {

// Both adapters keep the requested size in an eight-byte prefix: the library's
// getSizeOfAllocation counts its tail guard and tags, so it cannot answer xSize.
constexpr int kPrefix = 8;

template <void* (*Alloc)(std::size_t), void (*Release)(void*)> struct Adapter {
    static void* xMalloc(int n) {
        auto* p = static_cast<unsigned char*>(Alloc(static_cast<std::size_t>(n) + kPrefix));
        if (p == nullptr)
            return nullptr;
        std::memcpy(p, &n, sizeof n);
        return p + kPrefix;
    }
    static void xFree(void* p) {
        if (p != nullptr)
            Release(static_cast<unsigned char*>(p) - kPrefix);
    }
    static int xSize(void* p) {
        if (p == nullptr)
            return 0;
        int n;
        std::memcpy(&n, static_cast<unsigned char*>(p) - kPrefix, sizeof n);
        return n;
    }
    static void* xRealloc(void* p, int n) {
        void* q = xMalloc(n);
        if (q != nullptr && p != nullptr) {
            std::memcpy(q, p, static_cast<std::size_t>(std::min(n, xSize(p))));
            xFree(p);
        }
        return q;
    }
    static int xRoundup(int n) { return (n + 7) & ~7; }
    static int xInit(void*) { return SQLITE_OK; }
    static void xShutdown(void*) {}

    static constexpr sqlite3_mem_methods methods = {&xMalloc, &xFree,  &xRealloc,  &xSize,
                                                    &xRoundup, &xInit, &xShutdown, nullptr};
};

// Requests whose gross size under the default layout (12 bytes of overhead) is at most
// 88 bytes: on the main thread these are the ones the pools serve.
long small_requests = 0;
long all_requests = 0;

void* runtimeAlloc(std::size_t n) { return std::malloc(n); }
void runtimeRelease(void* p) { std::free(p); }
void* libraryAlloc(std::size_t n) {
    ++all_requests;
    small_requests += n + 12 <= 88;
    return qj::qj_malloc(static_cast<std::uint32_t>(n), 0);
}
void libraryRelease(void* p) { qj::qj_free(p); }

using RuntimeHeap = Adapter<&runtimeAlloc, &runtimeRelease>;
using LibraryHeap = Adapter<&libraryAlloc, &libraryRelease>;

int errors_reported = 0;
void countError(bool, const char* message) {
    if (errors_reported++ == 0)
        std::fprintf(stderr, "library report: %s\n", message);
}

void check(int rc, sqlite3* db, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "%s: %s\n", what, db != nullptr ? sqlite3_errmsg(db) : "error");
        std::exit(1);
    }
}

void exec(sqlite3* db, const char* sql) { check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql); }

// Sums every column of every row, so that the query's work cannot be skipped.
std::int64_t query(sqlite3* db, const char* sql, std::int64_t bind = -1) {
    sqlite3_stmt* stmt = nullptr;
    check(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), db, sql);
    if (bind >= 0)
        sqlite3_bind_int64(stmt, 1, bind);
    std::int64_t sum = 0;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
        for (int i = 0; i < sqlite3_column_count(stmt); ++i)
            sum += sqlite3_column_bytes(stmt, i) + sqlite3_column_int64(stmt, i);
    check(rc, db, sql);
    sqlite3_finalize(stmt);
    return sum;
}

std::int64_t workload(int rows) {
    sqlite3* db = nullptr;
    check(sqlite3_open(":memory:", &db), db, "open");
    exec(db, "CREATE TABLE item(id INTEGER PRIMARY KEY, a INTEGER, b TEXT, c REAL)");
    exec(db, "CREATE TABLE tag(item INTEGER, name TEXT)");

    std::uint32_t state = 20050110u;
    auto next = [&state] { return state = state * 1664525u + 1013904223u; };
    sqlite3_stmt* insertItem = nullptr;
    sqlite3_stmt* insertTag = nullptr;
    check(sqlite3_prepare_v2(db, "INSERT INTO item(a, b, c) VALUES(?, ?, ?)", -1, &insertItem, nullptr),
          db, "prepare");
    check(sqlite3_prepare_v2(db, "INSERT INTO tag VALUES(?, ?)", -1, &insertTag, nullptr), db,
          "prepare");
    char text[96];
    for (int done = 0; done < rows;) {
        exec(db, "BEGIN");
        for (int i = 0; i < 1000 && done < rows; ++i, ++done) {
            const int length = 8 + static_cast<int>(next() >> 8) % 56;
            for (int k = 0; k < length; ++k)
                text[k] = static_cast<char>('a' + (next() >> 12) % 26);
            sqlite3_bind_int64(insertItem, 1, (next() >> 4) % 100000);
            sqlite3_bind_text(insertItem, 2, text, length, SQLITE_TRANSIENT);
            sqlite3_bind_double(insertItem, 3, (next() >> 8) / 1024.0);
            check(sqlite3_step(insertItem), db, "insert");
            sqlite3_reset(insertItem);
            sqlite3_bind_int64(insertTag, 1, done + 1);
            sqlite3_bind_text(insertTag, 2, text, std::min(length, 6), SQLITE_TRANSIENT);
            check(sqlite3_step(insertTag), db, "insert tag");
            sqlite3_reset(insertTag);
        }
        exec(db, "COMMIT");
    }
    sqlite3_finalize(insertItem);
    sqlite3_finalize(insertTag);

    exec(db, "CREATE INDEX item_a ON item(a)");
    exec(db, "CREATE INDEX item_b ON item(b)");
    exec(db, "CREATE INDEX tag_name ON tag(name)");

    std::int64_t sum = 0;
    for (int q = 0; q < 200; ++q)
        sum += query(db, "SELECT id, b FROM item WHERE a BETWEEN ?1 AND ?1 + 300", (q * 491) % 100000);
    for (int q = 0; q < 100; ++q)
        sum += query(db, "SELECT count(*), max(c) FROM item WHERE b >= ?1 AND b < ?1 || 'zz'",
                     q % 26);
    sum += query(db, "SELECT a % 97, count(*), avg(c), group_concat(substr(b, 1, 3)) FROM item "
                     "GROUP BY a % 97");
    sum += query(db, "SELECT b, c FROM item ORDER BY c DESC LIMIT 2000");
    sum += query(db, "SELECT t.name, count(*) FROM tag t JOIN item i ON i.id = t.item "
                     "WHERE i.a < 20000 GROUP BY t.name ORDER BY 2 DESC LIMIT 50");
    exec(db, "BEGIN");
    exec(db, "UPDATE item SET b = b || 'x', c = c * 2 WHERE a % 7 = 0");
    exec(db, "DELETE FROM item WHERE a % 11 = 0");
    exec(db, "DELETE FROM tag WHERE item % 13 = 0");
    exec(db, "COMMIT");
    sum += query(db, "SELECT count(*), sum(length(b)) FROM item");
    sqlite3_close(db);
    return sum;
}

double timedRun(const sqlite3_mem_methods* methods, int rows, std::int64_t& checksum) {
    sqlite3_shutdown();
    if (sqlite3_config(SQLITE_CONFIG_MALLOC, methods) != SQLITE_OK || sqlite3_initialize() != SQLITE_OK) {
        std::fprintf(stderr, "cannot configure SQLite's allocator\n");
        std::exit(1);
    }
    const auto start = std::chrono::steady_clock::now();
    checksum = workload(rows);
    const auto stop = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(stop - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    int rows = 60000;
    int reps = 7;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rows") == 0)
            rows = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--reps") == 0)
            reps = std::atoi(argv[i + 1]);
    }
    qj::register_err_callback(&countError);

    std::vector<double> runtime, library;
    std::int64_t runtimeSum = 0, librarySum = 0;
    const std::int32_t callsBefore = qj::get_accumulated_allocation_call_count();
    for (int r = 0; r < reps; ++r) {
        runtime.push_back(timedRun(&RuntimeHeap::methods, rows, runtimeSum));
        library.push_back(timedRun(&LibraryHeap::methods, rows, librarySum));
        std::printf("run %d  runtime %.3f s  library %.3f s\n", r + 1, runtime.back(), library.back());
    }
    sqlite3_shutdown();
    const std::int32_t calls = qj::get_accumulated_allocation_call_count() - callsBefore;
    if (runtimeSum != librarySum) {
        std::fprintf(stderr, "the two runs disagree: %lld vs %lld\n",
                     static_cast<long long>(runtimeSum), static_cast<long long>(librarySum));
        return 1;
    }
    const double rt = median(runtime), lib = median(library);
    std::printf("rows %d, %d library allocations per run (%.0f%% of pool size), %d reports\n", rows,
                calls / reps, 100.0 * small_requests / std::max(all_requests, 1L), errors_reported);
    std::printf("median  runtime %.3f s  library %.3f s  ratio %.3f\n", rt, lib, lib / rt);
    return errors_reported == 0 ? 0 : 1;
}
