#include "app/entry.h"
#include "app/start_folder.h"

#include <optional>

// Here the program may be given the folder to start in ("Open With").
int main(int argc, char** argv)
{
    if (const std::optional<int> status = enter_start_folder(argc, argv))
        return *status;
    return vornhale_main();
}
