#include "driver.h"
#include "platform.h"

int main(int argc, char** argv) {
    platform::console_init();
    driver::run(argc, argv);
}
