/* Test helper run under Wine beside tarnpanel.exe: waits for a message box with a given caption
 * and text, prints its text, and with "close" presses its OK button. A TEXT ending in '*' matches
 * every text that starts with the part before it.
 * Usage: window_probe.exe [--hold-event NAME] CAPTION TEXT TIMEOUT_MS [close]
 *        window_probe.exe drive CAPTION STEP...     (see Drive below)
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

static int Matches(const char* text, const char* pattern)
{
    size_t length = strlen(pattern);
    return length > 0 && pattern[length - 1] == '*' ? strncmp(text, pattern, length - 1) == 0
                                                    : strcmp(text, pattern) == 0;
}

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
    if (Matches(text, search->text)) {
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

/* Finds a top-level window with the caption that has a control with the id (0 for any). */
struct WindowSearch {
    const char* caption;
    int controlId;
    HWND found;
};

static BOOL CALLBACK VisitTopWindow(HWND window, LPARAM parameter)
{
    struct WindowSearch* search = (struct WindowSearch*)parameter;
    char title[256];
    if (!IsWindowVisible(window) || GetWindowTextA(window, title, sizeof(title)) == 0 ||
        strcmp(title, search->caption) != 0) {
        return TRUE;
    }
    if (search->controlId != 0 && GetDlgItem(window, search->controlId) == NULL) {
        return TRUE;
    }
    search->found = window;
    return FALSE;
}

static HWND FindTopWindow(const char* caption, int controlId, DWORD timeout)
{
    DWORD start = GetTickCount();
    for (;;) {
        struct WindowSearch search = {caption, controlId, NULL};
        EnumWindows(VisitTopWindow, (LPARAM)&search);
        if (search.found != NULL || GetTickCount() - start > timeout) {
            return search.found;
        }
        Sleep(50);
    }
}

/* Polls a control's text until it matches; leaves the last text seen in text. */
static int WaitControlText(HWND window, int id, const char* expected, char* text, int size, DWORD timeout)
{
    DWORD start = GetTickCount();
    for (;;) {
        text[0] = '\0';
        GetDlgItemTextA(window, id, text, size);
        if (Matches(text, expected)) {
            return 1;
        }
        if (GetTickCount() - start > timeout) {
            return 0;
        }
        Sleep(50);
    }
}

/* Drives the panel's main dialog (the window with the caption that holds the cable list) through
 * steps; stops at the first that fails. Steps:
 *   expect:ID=TEXT   the control's text becomes TEXT       set:ID=TEXT   types TEXT into the control
 *   click:ID         presses the button                    rows:N        the cable list has N rows
 *   key:ID=up|down   presses an arrow key in the control (posted: handled after earlier keys)
 *   box:TEXT         a message box with the panel's caption shows TEXT; it is closed
 *   warning:TEXT     the same for the restart warning box ("Cannot restart the driver")
 *   about:TEXT       the About box shows TEXT as its version line; it is closed
 *   gone             the main dialog has closed */
static int Drive(const char* caption, int stepCount, char** steps)
{
    const DWORD timeout = 30000;
    const int listId = 1000;
    HWND dialog = FindTopWindow(caption, listId, timeout);
    if (dialog == NULL) {
        printf("FAIL: no window \"%s\" with a cable list\n", caption);
        return 1;
    }
    for (int i = 0; i < stepCount; ++i) {
        const char* step = steps[i];
        char text[1100];
        const char* argument = strchr(step, ':') != NULL ? strchr(step, ':') + 1 : "";
        int id = atoi(argument);
        const char* value = strchr(argument, '=') != NULL ? strchr(argument, '=') + 1 : "";
        int ok = 1;
        if (strncmp(step, "expect:", 7) == 0) {
            ok = WaitControlText(dialog, id, value, text, sizeof(text), timeout);
            if (!ok) {
                printf("FAIL: %s: control %d reads \"%s\"\n", step, id, text);
            }
        } else if (strncmp(step, "set:", 4) == 0) {
            ok = SendMessageTimeoutA(GetDlgItem(dialog, id), WM_SETTEXT, 0, (LPARAM)value, SMTO_NORMAL, timeout, NULL) != 0;
        } else if (strncmp(step, "click:", 6) == 0) {
            /* Sent, not posted: the panel handles sent messages in the order they were sent, so a
             * click is handled after the texts set before it and before those set after it. */
            ok = SendNotifyMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
        } else if (strncmp(step, "key:", 4) == 0) {
            WPARAM key = strcmp(value, "up") == 0 ? VK_UP : VK_DOWN;
            HWND control = GetDlgItem(dialog, id);
            ok = PostMessageA(control, WM_KEYDOWN, key, 1) && PostMessageA(control, WM_KEYUP, key, 0xC0000001);
        } else if (strncmp(step, "rows:", 5) == 0) {
            DWORD start = GetTickCount();
            LRESULT rows = -1;
            while ((rows = SendMessageA(GetDlgItem(dialog, listId), 0x1004 /* LVM_GETITEMCOUNT */, 0, 0)) != id &&
                   GetTickCount() - start <= timeout) {
                Sleep(50);
            }
            ok = rows == id;
            if (!ok) {
                printf("FAIL: %s: the list has %ld rows\n", step, (long)rows);
            }
        } else if (strncmp(step, "box:", 4) == 0 || strncmp(step, "warning:", 8) == 0) {
            const char* boxCaption = step[0] == 'b' ? caption : "Cannot restart the driver";
            struct Search search;
            search.caption = boxCaption;
            search.text = argument;
            DWORD start = GetTickCount();
            for (;;) {
                search.found = NULL;
                search.seen[0] = '\0';
                EnumWindows(VisitWindow, (LPARAM)&search);
                if (search.found != NULL || GetTickCount() - start > timeout) {
                    break;
                }
                Sleep(50);
            }
            ok = search.found != NULL;
            if (ok) {
                PostMessageA(search.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(search.found, IDOK));
            } else {
                printf("FAIL: %s: boxes seen: %s\n", step, search.seen[0] != '\0' ? search.seen : "none");
            }
        } else if (strncmp(step, "about:", 6) == 0) {
            HWND about = FindTopWindow("About", 1015, timeout);
            ok = about != NULL && WaitControlText(about, 1015, argument, text, sizeof(text), timeout);
            if (ok) {
                PostMessageA(about, WM_COMMAND, IDCANCEL, (LPARAM)GetDlgItem(about, IDCANCEL));
            } else {
                printf("FAIL: %s: %s\n", step, about == NULL ? "no About box" : text);
            }
        } else if (strcmp(step, "gone") == 0) {
            DWORD start = GetTickCount();
            while (IsWindow(dialog) && GetTickCount() - start <= timeout) {
                Sleep(50);
            }
            ok = !IsWindow(dialog);
            if (!ok) {
                printf("FAIL: gone: the dialog dialog is still open\n");
            }
        } else {
            printf("FAIL: unknown step %s\n", step);
            ok = 0;
        }
        if (!ok) {
            fflush(stdout);
            return 1;
        }
        printf("ok: %s\n", step);
        fflush(stdout);
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc > 2 && strcmp(argv[1], "drive") == 0) {
        return Drive(argv[2], argc - 3, argv + 3);
    }
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
