// Entry point of the Lumivex agent.
#include <cstdio>

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    std::puts("Lumivex agent");
    return 0;
}
