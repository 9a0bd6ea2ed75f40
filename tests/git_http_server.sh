# Git's smart HTTP (git http-backend) behind lighttpd on 127.0.0.1, for the git-bumpbuild tests.
# Source it, then: start_git_http_server DIR serves the bare repositories in DIR/repos:
#   http://127.0.0.1:$http_port/git/NAME.git          anyone may fetch and push
#   http://127.0.0.1:$http_port/private/NAME.git      basic authentication, user "builder",
#                                                     password "secret"
#   http://127.0.0.1:$http_port/hang/NAME.git         accepts the connection, never answers (for
#                                                     10 minutes, or until the server stops)
#   http://127.0.0.1:$http_port/slow/NAME.git         as /git, each request answered after 0.5 s
# and stop_git_http_server stops it. Needs lighttpd and git.

git_http_backend=$(git --exec-path)/git-http-backend

start_git_http_server() {
  local dir=$1 attempt
  mkdir -p "$dir/repos"
  printf 'builder:secret\n' >"$dir/users"
  hang_pids=$dir/hang.pids
  printf '#!/bin/sh\necho $$ >>"%s"\nexec sleep 600\n' "$hang_pids" >"$dir/hang.cgi"
  printf '#!/bin/sh\nsleep 0.5\nexec "%s"\n' "$git_http_backend" >"$dir/slow.cgi"
  chmod +x "$dir/hang.cgi" "$dir/slow.cgi"
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    http_port=$((20000 + RANDOM % 40000))
    cat >"$dir/lighttpd.conf" <<EOF
server.modules = ("mod_alias", "mod_setenv", "mod_auth", "mod_authn_file", "mod_cgi")
server.document-root = "$dir/repos"
server.bind = "127.0.0.1"
server.port = $http_port
server.errorlog = "$dir/error.log"
server.max-worker = 0
auth.backend = "plain"
auth.backend.plain.userfile = "$dir/users"
alias.url = ("/git" => "$git_http_backend", "/private" => "$git_http_backend",
             "/hang" => "$dir/hang.cgi", "/slow" => "$dir/slow.cgi")
\$HTTP["url"] =~ "^/(git|private|hang|slow)/" {
  cgi.assign = ("" => "")
  setenv.add-environment = ("GIT_PROJECT_ROOT" => "$dir/repos", "GIT_HTTP_EXPORT_ALL" => "1")
}
\$HTTP["url"] =~ "^/private/" {
  auth.require = ("" => ("method" => "basic", "realm" => "git", "require" => "valid-user"))
}
EOF
    lighttpd -D -f "$dir/lighttpd.conf" </dev/null >>"$dir/server.log" 2>&1 &
    http_pid=$!
    local waited
    for waited in $(seq 50); do
      kill -0 "$http_pid" 2>/dev/null || break
      if (exec 3<>"/dev/tcp/127.0.0.1/$http_port") 2>/dev/null; then
        return 0
      fi
      sleep 0.1
    done
    stop_git_http_server  # the port was taken, or the server did not come up: another port
  done
  echo "can't start lighttpd: $(cat "$dir/server.log" "$dir/error.log" 2>/dev/null)" >&2
  return 1
}

stop_git_http_server() {
  [ -n "${http_pid:-}" ] || return 0
  kill "$http_pid" 2>/dev/null || true
  wait "$http_pid" 2>/dev/null || true
  http_pid=
  # The requests that never got an answer, each by the process id it wrote down.
  [ ! -f "$hang_pids" ] || xargs -r kill 2>/dev/null <"$hang_pids" || true
}
