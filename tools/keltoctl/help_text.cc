#include "keltoctl/help_text.h"

namespace keltoctl {
namespace {

constexpr const char* kToolHelp = R"(Usage: keltoctl COMMAND [OPTIONS] [ARGUMENTS]
       keltoctl --help | --version

Shows and changes the variables of the live kelto table: the shared segment
that running programs hold. keltoctl attaches only while some process holds
the table, never creates it, never reads definition files and never touches
the log. The segment is the one named by KELTO_SEGMENT (default
"keltovariables").

Commands:
  list [PATTERN]        one row per variable: ident, name, type, size, value
  get NAME...           the value of each variable, one per line
  set NAME VALUE        write a variable's value, parsed by its type
  watch [PATTERN]       redraw the list when it changes, marking changes
  wait NAME...          wait until one of the variables changes, print it
  serve                 the live table in a browser and as JSON over HTTP
  help [COMMAND]        this text, or the help of one command

Run 'keltoctl COMMAND --help' for the options of a command.

Values: text ($) is shown with \\ \n \t \r and \xHH escapes; L as a signed
32-bit number; D as the shortest decimal that reads back exactly; B H O M W
as unsigned numbers; variables whose type holds no value as "-".

Exit status:
  0  success
  1  unknown variable, or no variable matches the pattern
  2  wrong command, option or number of arguments
  3  bad value: does not parse, does not fit, or the type holds no value
  4  no live table: no process holds the segment
  5  other system error (attaching, writing the output)
  6  wait: no change before the timeout
)";

constexpr const char* kListHelp = R"(Usage: keltoctl list [--table|--tsv|--json|--csv] [PATTERN]

One row per variable of the live table, in ident order, with the columns
ident, name, type, size and value. PATTERN is a shell wildcard pattern
(* ? [...]) matched against the whole name; quote it so that the shell
leaves it alone. Items past the last used one (the unused tail of a segment
that is larger than the definitions need) are not shown.

Output formats:
  --table   aligned columns with a header line (the default on a terminal)
  --tsv     tab-separated, no header (the default otherwise); names, type
            letters and text values are escaped, so a row is one line and a
            field never holds a tab
  --json    an array of objects {"ident", "name", "type", "size", "value"};
            value is a number, a string, or null (no value, or a D that is
            not finite); bytes of 0x80 and above appear as \u0080..\u00ff
  --csv     a header line, then one row per variable; text is written as it
            is and quoted where CSV needs it; no value is an empty field

A PATTERN that matches no variable is an error (exit status 1).
)";

constexpr const char* kGetHelp = R"(Usage: keltoctl get [--table|--tsv|--json|--csv] NAME...

Prints the value of each named variable, one per line, as in the value
column of 'keltoctl list', so that a script can use $(keltoctl get NAME).
NAME is the full name, prefix included (for example IORSH_SPEED). When two
items share a name, the later one is used, as by the library.

With an output format option, whole rows are printed as by 'keltoctl list'.
If any NAME is unknown, each unknown one is reported, nothing is printed on
standard output and the exit status is 1.
)";

constexpr const char* kSetHelp = R"(Usage: keltoctl set [--escaped] NAME VALUE

Writes VALUE into the variable NAME, parsed by the variable's type, the way
the library's write by name does; values of 1 to 8 bytes are written at once.

  $        text of at most 63 bytes, written as given; a longer text is an
           error, it is never cut. With --escaped (-e), the escapes that
           'get' prints (\\ \n \t \r \xHH) are decoded first, so a value
           read with 'get' can be written back unchanged.
  B H O    a whole number from 0 to 255
  M W      a whole number from 0 to 65535
  L        a whole number from -2147483648 to 2147483647
  D        a decimal or exponent form (1.5, -2e-3), inf, -inf or nan

Whole numbers are decimal or 0x-prefixed hex, with an optional sign; a value
that does not fit is an error (exit status 3), never wrapped or cut. Negative
numbers may be written as they are; put -- before any other VALUE that starts
with '-'. Variables of a type without a value cannot be set. Nothing is
written when the value is refused. On success nothing is printed.
)";

constexpr const char* kWatchHelp =
    R"(Usage: keltoctl watch [--interval SECONDS] [--count N] [PATTERN]

Shows the list of 'keltoctl list --table' and redraws it when a shown
variable changes, at most once every SECONDS (default 1, from 0.01 to
86400; -n is short for --interval), until interrupted with Ctrl-C (or
SIGTERM, SIGHUP) or until the reader of its output goes away, then exits
with status 0. Rows whose name, type or value changed since the last
refresh are marked with '*' (and shown in reverse video on a terminal).
Writes into the raw view (KeltoGetPointer) are not seen as changes; a
table without a change feed is redrawn every SECONDS.

On a terminal the table is redrawn in place; otherwise each refresh is
printed after the one before, separated by a blank line. A change of the
window's size (SIGWINCH) refreshes at once. --count N stops after N
refreshes.

If the last program lets go of the table, watch ends with status 4.
)";

constexpr const char* kWaitHelp =
    R"(Usage: keltoctl wait [--timeout SECONDS] [--json] NAME...

Waits until one of the named variables changes, then prints one line
"NAME VALUE" for each of them that changed (the value as 'get' prints it),
or with --json the rows as 'list --json' prints them. Changes made before
wait started are not reported. Writes into the raw view (KeltoGetPointer)
are not seen.

Exit status: 0 after a change; 6 when SECONDS (0 to 86400; default no
limit) pass without one, or on Ctrl-C; 1 for an unknown NAME; 4 when there
is no live table or the last program lets go of it while waiting.
)";

}  // namespace

const char* HelpText(Command command) {
  switch (command) {
    case Command::kList: return kListHelp;
    case Command::kGet: return kGetHelp;
    case Command::kSet: return kSetHelp;
    case Command::kWatch: return kWatchHelp;
    case Command::kWait: return kWaitHelp;
    default: return kToolHelp;
  }
}

}  // namespace keltoctl
