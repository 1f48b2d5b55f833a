// The way many console tools read keys: curses in keypad mode, getch, one
// printw and refresh per key, with the same texts as tap-recorder.

#include <curses.h>

#include <clocale>

int main() {
  setlocale(LC_ALL, "");
  initscr();
  cbreak();
  noecho();
  nonl();
  keypad(stdscr, TRUE);
  scrollok(stdscr, TRUE);

  printw("ENTERで計測を開始します\n終了時にENTERで出力します\n");
  refresh();
  int ch;
  while ((ch = getch()) != '\r' && ch != ERR) {
  }
  printw("計測開始！\n");
  refresh();
  while ((ch = getch()) != ERR) {
    if (ch == '\r') {
      printw("ENTERが押されました\n");
      refresh();
      break;
    }
    switch (ch) {
      case KEY_LEFT: printw("←が押されました\n"); break;
      case KEY_DOWN: printw("↓が押されました\n"); break;
      case KEY_UP: printw("↑が押されました\n"); break;
      case KEY_RIGHT: printw("→が押されました\n"); break;
      case ' ': printw("SPACEが押されました\n"); break;
      default: printw("何らかのキーが押されました\n"); break;
    }
    refresh();
  }
  endwin();
  return 0;
}
