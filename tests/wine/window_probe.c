/* Test helper run under Wine beside tarnpanel.exe: waits for a message box with a given caption
 * and text, prints its text, and with "close" presses its OK button. A TEXT ending in '*' matches
 * every text that starts with the part before it.
 * Usage: window_probe.exe [--hold-event NAME] CAPTION TEXT TIMEOUT_MS [close]
 * --hold-event creates an event of that name and holds it while the probe runs, so that a mutex
 * of the same name cannot be created; the probe prints "holding" once the event exists.
 * Exits 0 when the box was found, 1 when none appeared in time (listing the boxes with that
 * caption it did see), 2 on bad arguments or when the event cannot be created. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The static control that holds a message box's text. */
#define MESSAGE_TEXT_ID 0xFFFF

struct Search {
    const char* caption;
    const char* text;
    HWND found;
    char foundText[1100];
    char seen[2048];
};

static BOOL CALLBACK VisitWindow(HWND window, LPARAM parameter)
{
    struct Search* search = (struct Search*)parameter;
    char title[256];
    char text[1100];
    if (GetWindowTextA(window, title, sizeof(title)) == 0 || strcmp(title, search->caption) != 0) {
        return TRUE;
    }
    text[0] = '\0';
    GetDlgItemTextA(window, MESSAGE_TEXT_ID, text, sizeof(text));
    size_t length = strlen(search->text);
    int matches = length > 0 && search->text[length - 1] == '*' ? strncmp(text, search->text, length - 1) == 0
                                                                : strcmp(text, search->text) == 0;
    if (matches) {
        strcpy(search->foundText, text);
        search->found = window;
        return FALSE;
    }
    if (strlen(search->seen) + strlen(text) + 4 < sizeof(search->seen)) {
        strcat(search->seen, "[");
        strcat(search->seen, text);
        strcat(search->seen, "] ");
    }
    return TRUE;
}

int main(int argc, char** argv)
{
    HANDLE heldEvent = NULL;
    if (argc > 2 && strcmp(argv[1], "--hold-event") == 0) {
        heldEvent = CreateEventA(NULL, TRUE, FALSE, argv[2]);
        if (heldEvent == NULL) {
            fprintf(stderr, "cannot create event %s: error %lu\n", argv[2], (unsigned long)GetLastError());
            return 2;
        }
        printf("holding\n");
        fflush(stdout);
        argc -= 2;
        argv += 2;
    }
    if (argc < 4 || argc > 5 || (argc == 5 && strcmp(argv[4], "close") != 0)) {
        fprintf(stderr, "usage: window_probe.exe [--hold-event NAME] CAPTION TEXT TIMEOUT_MS [close]\n");
        return 2;
    }
    struct Search search;
    search.caption = argv[1];
    search.text = argv[2];
    DWORD timeout = (DWORD)strtoul(argv[3], NULL, 10);
    DWORD start = GetTickCount();
    for (;;) {
        search.found = NULL;
        search.seen[0] = '\0';
        EnumWindows(VisitWindow, (LPARAM)&search);
        if (search.found != NULL) {
            break;
        }
        if (GetTickCount() - start > timeout) {
            printf("no box \"%s\" reading \"%s\" within %lu ms; boxes seen: %s\n", search.caption, search.text,
                   (unsigned long)timeout, search.seen[0] != '\0' ? search.seen : "none");
            fflush(stdout);
            return 1;
        }
        Sleep(50);
    }
    printf("%s\n", search.foundText);
    fflush(stdout);
    if (argc == 5) {
        HWND ok = GetDlgItem(search.found, IDOK);
        PostMessageA(search.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)ok);
    }
    if (heldEvent != NULL) {
        CloseHandle(heldEvent);
    }
    return 0;
}
