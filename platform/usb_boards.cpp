#include "platform/usb_boards.h"

namespace platform {

std::vector<usb_board> list_boards()
{
    std::vector<usb_board> boards;
    for (usb_board_entry& entry : list_board_entries())
        if (entry.port_trouble.empty())
            boards.push_back(std::move(entry.board));
    return boards;
}

}  // namespace platform
