#pragma once
// The authorization server's two token endpoints on 127.0.0.1, run as
// `python3 -c kTokenServerScript <folder of fake_signin_server.py> [delay]
// [seconds between an answer's bytes]` in a child process (the resolver blocks
// the thread that calls it). It prints its host:port, and the number of
// requests it answered once its input is closed.

inline const char *const kTokenServerScript =
    "import sys\n"
    "sys.path.insert(0, sys.argv[1])\n"
    "from fake_signin_server import FakeSignInServer\n"
    "timing = [float(x) for x in sys.argv[2:4]]\n"
    "server = FakeSignInServer((200, {'access_token': 't'}), (200, {'user_id': '1'}),\n"
    "                          *timing).start()\n"
    "print(server.host, flush=True)\n"
    "sys.stdin.read()\n"
    "server.stop()\n"
    "print(len(server.requests), flush=True)\n";
