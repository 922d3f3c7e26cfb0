#include "app/MainWindow.h"

int main() { return RunApplication(); }
