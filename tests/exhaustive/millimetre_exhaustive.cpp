// Compares the millimetre field with the exact reference for every 32-bit
// extent in both units, and prints the number of cases and of mismatches.
#include "fieldtext.h"
#include "../unit/millimetre_reference.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

static std::atomic<uint64_t> mismatches(0);

static void CheckRange(int64_t first, int64_t last)
{
    char text[8];
    float size;
    for (uint32_t unitCode = 1; unitCode <= 2; ++unitCode) {
        for (int64_t extent = first; extent <= last; ++extent) {
            MillimetreSize((int32_t)extent, unitCode, &size);
            FormatMillimetreText(size, text);
            if (ReferenceMillimetreField((int32_t)extent, unitCode) != text) {
                if (mismatches++ < 20)
                    printf("mismatch: extent %lld unit %u: program \"%s\", reference \"%s\"\n",
                           (long long)extent, unitCode, text,
                           ReferenceMillimetreField((int32_t)extent, unitCode).c_str());
            }
        }
    }
}

int main()
{
    unsigned threads = std::thread::hardware_concurrency();
    if (threads == 0)
        threads = 1;
    const int64_t first = INT32_MIN, count = 1ll << 32;
    auto start = std::chrono::steady_clock::now();

    std::vector<std::thread> workers;
    for (unsigned i = 0; i < threads; ++i) {
        int64_t from = first + count * i / threads;
        int64_t to = first + count * (i + 1) / threads - 1;
        workers.emplace_back(CheckRange, from, to);
    }
    for (auto &worker : workers)
        worker.join();

    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("cases %llu, mismatches %llu, %.0f s on %u threads\n",
           (unsigned long long)(count * 2), (unsigned long long)mismatches.load(), seconds, threads);
    return mismatches == 0 ? 0 : 1;
}
