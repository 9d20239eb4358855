// A pipe between a test and the process it forks: one byte per message, so that either
// side waits for the other without sleeping.
#pragma once

#include <unistd.h>

#include <cstdlib>

struct TPipe {
    int Fd[2] = {-1, -1};
    TPipe() {
        if (pipe(Fd) != 0) std::abort();
    }
    ~TPipe() {
        for (int f : Fd)
            if (f >= 0) close(f);
    }
    TPipe(const TPipe&) = delete;
    TPipe& operator=(const TPipe&) = delete;
    // A process that keeps only its reading end reads an end once every writer is gone.
    void KeepReading() { Drop(1); }
    void KeepWriting() { Drop(0); }
    void Drop(int End) {
        if (Fd[End] >= 0) close(Fd[End]);
        Fd[End] = -1;
    }
    void Send(char C = 1) {
        if (write(Fd[1], &C, 1) != 1) _exit(90);
    }
    // The byte sent, or -1 when every writer went away.
    int Wait() {
        char c;
        return read(Fd[0], &c, 1) == 1 ? c : -1;
    }
};
