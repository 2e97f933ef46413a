// The option engine's public operations, bound to one program's settings
// record. Included by that program's settings header after it has defined
// `struct args_info_t`; the program's settings.cpp defines them with
// cmdline_bindings.inc. Functions documented as ending the process release
// the record first where noted.
//
// Thread: main thread, start-up only.
#ifndef QUORREL_COMMON_CMDLINE_BINDINGS_H_
#define QUORREL_COMMON_CMDLINE_BINDINGS_H_

// The program's settings, filled by proc_args.
extern args_info_t args_info;

// Help lines in table order, then null; and the other help texts.
extern const char* gengetopt_args_info_help[];
extern const char* gengetopt_args_info_purpose;
extern const char* gengetopt_args_info_usage;
extern const char* gengetopt_args_info_description;
extern const char* gengetopt_args_info_versiontext;

// The program's option table for the engine.
extern const cmdline_program kCmdlineProgram;

// Fills args_info from the command line and the configuration file, checks
// the required options and sets `debug` and `daemon_mode`. Returns only on
// success; ends the process with status 1 on any failure and 0 after help or
// version.
void proc_args(int argc, char** argv);

int cmdline_parser_init(args_info_t* args_info);
void cmdline_parser_free(args_info_t* args_info);
void cmdline_parser_params_init(cmdline_parser_params* params);
// malloc'ed and initialised; null when allocation fails; free with free().
cmdline_parser_params* cmdline_parser_params_create(void);
// Parse failures release the record and exit(1); help/version exit(0).
int cmdline_parser_ext(int argc, char** argv, args_info_t* args_info,
                       cmdline_parser_params* params);
int cmdline_parser2(int argc, char** argv, args_info_t* args_info, int override, int initialize,
                    int check_required);
int cmdline_parser(int argc, char** argv, args_info_t* args_info);
// Missing options: release the record and exit(1).
int cmdline_parser_required(args_info_t* args_info, const char* prog_name);
// Configuration-file failures release the record and exit(1).
int cmdline_parser_config_file(const char* filename, args_info_t* args_info,
                               cmdline_parser_params* params);
int cmdline_parser_configfile(const char* filename, args_info_t* args_info, int override,
                              int initialize, int check_required);
int cmdline_parser_dump(FILE* outfile, args_info_t* args_info);
int cmdline_parser_file_save(const char* filename, args_info_t* args_info);
void cmdline_parser_print_help(void);
void cmdline_parser_print_version(void);

#endif  // QUORREL_COMMON_CMDLINE_BINDINGS_H_
