// A terminal as a person sees it: a shell in a tmux pane, on a tmux server
// of its own, typed into with send-keys and read with capture-pane.
#pragma once

#include <string>
#include <vector>

class tmux_pane {
public:
    // False when tmux is not installed.
    static bool available();

    // Starts the server with one pane of the given size running sh.
    tmux_pane(int columns, int rows);
    // Ends the server and everything running in it.
    ~tmux_pane();
    tmux_pane(const tmux_pane &) = delete;
    tmux_pane &operator=(const tmux_pane &) = delete;

    // Types the text and Enter.
    void type(const std::string &text);
    // The lines the pane shows now, top to bottom, trailing blanks cut.
    std::vector<std::string> screen() const;

private:
    std::string tmux(const std::string &arguments) const;
    std::string dir_;
};
