"""Open With Vornhale in Nautilus's menu of one local folder, and of the
folder shown, without making Vornhale a handler of folders. Loaded by
nautilus-python (Debian: python3-nautilus) when it is installed."""

import gi

try:
    gi.require_version("Nautilus", "4.0")
except ValueError:
    gi.require_version("Nautilus", "3.0")
from gi.repository import GObject, Gio, Nautilus  # noqa: E402


def open_with(_item, entry, folder):
    # Through the desktop entry, as the desktop starts it; GIO does not record
    # this as a choice of handler.
    app = Gio.DesktopAppInfo.new(entry)
    if app is not None:
        app.launch([folder], None)


def menu_items(name, folder):
    items = []
    for entry, label in (("vornhale.desktop", "Open With Vornhale"),
                         ("vornhale-station.desktop", "Open With Vornhale station")):
        item = Nautilus.MenuItem(name="Vornhale::%s::%s" % (name, entry), label=label, icon="vornhale")
        item.connect("activate", open_with, entry, folder)
        items.append(item)
    return items


class VornhaleMenu(GObject.GObject, Nautilus.MenuProvider):
    # Nautilus 43 and later pass (files) and (folder); older ones put the window first.
    def get_file_items(self, *args):
        files = args[-1]
        if len(files) != 1 or not files[0].is_directory() or files[0].get_location().get_path() is None:
            return []
        return menu_items("selected", files[0].get_location())

    def get_background_items(self, *args):
        folder = args[-1].get_location()
        return menu_items("shown", folder) if folder.get_path() is not None else []
