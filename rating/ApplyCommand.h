// The command `rating apply`.
#ifndef APPLYCOMMAND_H
#define APPLYCOMMAND_H

// argv[0] is "apply"; returns the exit code.
int apply_command(int argc, char **argv);

#endif
