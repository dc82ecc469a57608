#include "app/entry.h"

int main() { return vornhale_main(); }
