#include "app/entry.h"
#include "app/start_folder.h"

#include <optional>
#include <string>
#include <vector>

// Here the program may be given the folder to start in ("Open With").
int main(int argc, char** argv)
{
    bool station = false;
    if (const std::optional<int> status = enter_start_folder(std::vector<std::string>(argv + 1, argv + argc), station))
        return *status;
    return vornhale_main(station);
}
