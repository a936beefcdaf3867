#include <cstdio>

int main() {
    std::printf("\nORN KALVER QEL-flash\n");
    return 1;
}
