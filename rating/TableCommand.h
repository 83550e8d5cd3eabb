// The command `rating table`.
#ifndef TABLECOMMAND_H
#define TABLECOMMAND_H

// argv[0] is "table"; returns the exit code.
int table_command(int argc, char **argv);

#endif
