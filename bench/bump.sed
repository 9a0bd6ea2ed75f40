# GNU sed's nearest match to `bumpbuild ABC`: on a line holding ABC_STRING_VERSION the digits after
# the last "." become the next number followed by a double quote; on a line holding ABC_VERSION the
# digits after the last "," become the next number; every line ends in CR LF. Unlike bumpbuild it
# takes no sign, ignores white space before the digits only partly and does not wrap at 32 bits.
s/\r//g
s/$/\r/
t clear
: clear
/ABC_STRING_VERSION/ {
  s/\.[ \t]*\([0-9]*\)[^.]*$/.\1"@/
  t string
  b
  : string
  s/9\(#*\)"@$/#\1"@/
  t string
  s/\.\(#*\)"@$/.1\1"@/
  t done
  s/8\(#*\)"@$/9\1"@/
  t done
  s/7\(#*\)"@$/8\1"@/
  t done
  s/6\(#*\)"@$/7\1"@/
  t done
  s/5\(#*\)"@$/6\1"@/
  t done
  s/4\(#*\)"@$/5\1"@/
  t done
  s/3\(#*\)"@$/4\1"@/
  t done
  s/2\(#*\)"@$/3\1"@/
  t done
  s/1\(#*\)"@$/2\1"@/
  t done
  s/0\(#*\)"@$/1\1"@/
  b done
}
/ABC_VERSION/ {
  s/,[ \t]*\([0-9]*\)[^,]*$/,\1@/
  t number
  b
  : number
  s/9\(#*\)@$/#\1@/
  t number
  s/,\(#*\)@$/,1\1@/
  t done
  s/8\(#*\)@$/9\1@/
  t done
  s/7\(#*\)@$/8\1@/
  t done
  s/6\(#*\)@$/7\1@/
  t done
  s/5\(#*\)@$/6\1@/
  t done
  s/4\(#*\)@$/5\1@/
  t done
  s/3\(#*\)@$/4\1@/
  t done
  s/2\(#*\)@$/3\1@/
  t done
  s/1\(#*\)@$/2\1@/
  t done
  s/0\(#*\)@$/1\1@/
  b done
}
b
: done
s/#\([0-9#]*"\{0,1\}@\)$/0\1/
t done
s/@$/\r/
