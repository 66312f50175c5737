// zarvik: see zarvik.h.
#include "service/background.h"
#include "zarvik.h"

int main(int argc, char** argv)
{
    // On Windows the printer maker's service holds the printers while it runs.
    return zarvik::run_program(argc, argv, service::background_name);
}
