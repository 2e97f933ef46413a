#include "common/config_file.h"

#include <stdlib.h>
#include <string.h>

namespace {

// One argument of the vector being built.
struct config_arg_node {
  char* string_arg;  // owned
  config_arg_node* next;
};

// Pending arguments, newest first; empty between calls of config_file_parse.
config_arg_node* config_arg_list = nullptr;

// Program literal used in the reader's messages.
const char* config_package = "";

// Include nesting of the file being read (0 for the top file).
int config_depth = 0;

const char kBlanks[] = " \t\r\n";

bool push_arg(const char* text) {
  config_arg_node* node = static_cast<config_arg_node*>(malloc(sizeof(config_arg_node)));
  if (node == nullptr) return false;
  node->string_arg = duplicate_string(text);
  if (node->string_arg == nullptr) {
    free(node);
    return false;
  }
  node->next = config_arg_list;
  config_arg_list = node;
  return true;
}

// Reads one line of at most kConfigLineMax characters (line end included)
// into `line` (kConfigLineMax + 1 bytes). Returns 1 for a line, 0 at end of
// file, -1 when the line is longer. Bytes after a NUL in a line are kept in
// the buffer but the parser sees the line only up to the NUL.
int read_line(FILE* stream, char* line) {
  int length = 0;
  int c = EOF;
  while (length < kConfigLineMax && (c = getc(stream)) != EOF) {
    line[length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line[length] = '\0';
  if (length == 0) return 0;
  if (line[length - 1] == '\n') return 1;
  if (length < kConfigLineMax) return 1;  // last line without a line end
  // The buffer is full without a line end: fine only at the end of the file.
  c = getc(stream);
  if (c == EOF) return 1;
  ungetc(c, stream);
  return -1;
}

// Builds "--name[=value]" or "-nvalue" into a new node.
bool compose_and_push(const char* name, const char* value, bool equals) {
  size_t name_len = strlen(name);
  size_t value_len = strlen(value);
  char* arg = static_cast<char*>(malloc(name_len + value_len + 4));
  if (arg == nullptr) return false;
  char* p = arg;
  if (name_len > 1) {
    *p++ = '-';
    *p++ = '-';
    memcpy(p, name, name_len);
    p += name_len;
    if (value_len > 0 || equals) *p++ = '=';
  } else {
    *p++ = '-';
    memcpy(p, name, name_len);
    p += name_len;
  }
  memcpy(p, value, value_len);
  p[value_len] = '\0';
  bool pushed = push_arg(arg);
  free(arg);
  return pushed;
}

// Frees every pending node with its text; the list is empty again.
void config_arg_list_clear(void) {
  while (config_arg_list != nullptr) {
    config_arg_node* next = config_arg_list->next;
    free(config_arg_list->string_arg);
    free(config_arg_list);
    config_arg_list = next;
  }
}

}  // namespace

char* strip(char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  return text;
}

char* next_entry(char* text) {
  while (*text != '\0' && *text != ' ' && *text != '\t') {
    if (*text == '\\' && text[1] != '\0') ++text;
    ++text;
  }
  return strip(text);
}

int read_config_stream(FILE* stream, const char* display_name, int* count) {
  char line[kConfigLineMax + 1];
  int result = 0;
  int line_num = 0;

  for (;;) {
    int got = read_line(stream, line);
    if (got == 0) break;
    ++line_num;
    if (got < 0) {
      fprintf(stderr, "%s:%s:%d: Line too long in configuration file\n", config_package,
              display_name, line_num);
      return 1;
    }

    char* p = line + strspn(line, kBlanks);
    if (*p == '\0' || *p == '#') continue;

    char* name = p;
    p += strcspn(p, " \t\r\n=");
    char* value = p;  // empty unless a value follows
    bool equals = false;
    if (*p != '\0') {
      equals = (*p == '=');
      *p++ = '\0';
      p += strspn(p, kBlanks);
      if (!equals && *p == '=') {
        equals = true;
        ++p;
        p += strspn(p, kBlanks);
      }
      char ended;
      if (*p == '"' || *p == '\'') {
        char quote = *p++;
        value = p;
        char* close = strchr(p, quote);
        if (close == nullptr) {
          fprintf(stderr, "%s:%s:%d: unterminated string in configuration file\n", config_package,
                  display_name, line_num);
          return 1;
        }
        *close = '\0';
        p = close + 1;
        ended = quote;
      } else {
        value = p;
        p += strcspn(p, " \t\r\n#'\"");
        ended = *p;
        if (*p != '\0') *p++ = '\0';
      }
      if (ended != '\0' && ended != '#') {
        p += strspn(p, kBlanks);
        if (*p != '\0' && *p != '#') {
          fprintf(stderr, "%s:%s:%d: malformed string in configuration file\n", config_package,
                  display_name, line_num);
          return 1;
        }
      }
    }

    // A line such as "= x" has no name; taking it as the short option "-x"
    // would surprise, so it is refused like any other malformed line.
    if (*name == '\0') {
      fprintf(stderr, "%s:%s:%d: malformed string in configuration file\n", config_package,
              display_name, line_num);
      return 1;
    }

    if (strcmp(name, "include") == 0) {
      if (*value == '\0') {
        fprintf(stderr, "%s:%s:%d: include requires a filename argument.\n", config_package,
                display_name, line_num);
        continue;
      }
      if (config_depth >= kConfigIncludeDepthMax) {
        fprintf(stderr, "%s:%s:%d: include nested too deeply in configuration file\n",
                config_package, display_name, line_num);
        result = 1;
        continue;
      }
      ++config_depth;
      // A failed include stays in force even when a later include succeeds.
      if (read_config_file(value, count) != 0) result = 1;
      --config_depth;
      continue;
    }

    if (!compose_and_push(name, value, equals)) {
      fprintf(stderr, "%s:%s:%d: out of memory in configuration file\n", config_package,
              display_name, line_num);
      return 1;
    }
    ++*count;
  }
  return result;
}

int read_config_file(const char* filename, int* count) {
  FILE* stream = fopen(filename, "re");
  if (stream == nullptr) {
    fprintf(stderr, "%s: Error opening configuration file '%s'\n", config_package, filename);
    return 1;
  }
  int result = read_config_stream(stream, filename, count);
  fclose(stream);
  return result;
}

int config_stream_parse(const cmdline_program& program, FILE* stream, const char* display_name,
                        void* record, const cmdline_parser_params* params) {
  config_package = program.package;
  config_depth = 0;
  int result = 1;
  int count = 1;
  if (!push_arg(program.package)) {
    fprintf(stderr, "%s: out of memory reading configuration file '%s'\n", program.package,
            display_name);
  } else if (read_config_stream(stream, display_name, &count) == 0) {
    char** argv = static_cast<char**>(calloc(static_cast<size_t>(count) + 1, sizeof(char*)));
    static const char kSuffix[] = " in configuration file ";
    char* suffix = static_cast<char*>(malloc(strlen(display_name) + sizeof(kSuffix)));
    if (argv == nullptr || suffix == nullptr) {
      fprintf(stderr, "%s: out of memory reading configuration file '%s'\n", program.package,
              display_name);
    } else {
      // The list is newest first: fill the vector from its end so that the
      // entries stand in reading order after the program literal.
      int i = count;
      for (config_arg_node* node = config_arg_list; node != nullptr; node = node->next) {
        argv[--i] = node->string_arg;
      }
      strcpy(suffix, kSuffix);
      strcat(suffix, display_name);
      result = parse_argument_vector(program, count, argv, record, params, suffix);
    }
    free(suffix);
    free(argv);
  }
  config_arg_list_clear();
  return result;
}

int config_file_parse(const cmdline_program& program, const char* filename, void* record,
                      const cmdline_parser_params* params) {
  FILE* stream = fopen(filename, "re");
  if (stream == nullptr) {
    fprintf(stderr, "%s: Error opening configuration file '%s'\n", program.package, filename);
    return 1;
  }
  int result = config_stream_parse(program, stream, filename, record, params);
  fclose(stream);
  return result;
}
