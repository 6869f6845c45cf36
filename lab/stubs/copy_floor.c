/* The floor of rewriting one file, for the benchmark: copies it three times
 * (as the installer's backup, temporary file and write-back each move its
 * bytes once) and prints the milliseconds those copies took, so that the
 * program's own start is left out.
 *   lab_copy_floor.exe FILE
 * Exit value 0 when all three copies succeeded. */
#include <windows.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    static const char *const kSuffixes[] = {".floor1", ".floor2", ".floor3"};
    char target[MAX_PATH];
    LARGE_INTEGER frequency, start, end;
    int i, ok = 1;
    if (argc != 2) {
        fprintf(stderr, "usage: lab_copy_floor FILE\n");
        return 2;
    }
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (i = 0; i < 3 && ok; ++i) {
        if (_snprintf(target, sizeof target, "%s%s", argv[1], kSuffixes[i]) < 0)
            return 2;
        target[sizeof target - 1] = '\0';
        ok = CopyFileA(argv[1], target, FALSE) != 0;
    }
    QueryPerformanceCounter(&end);
    printf("%.3f\n", (double)(end.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart);
    return ok ? 0 : 1;
}
