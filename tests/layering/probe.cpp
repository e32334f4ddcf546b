// Never run: linked against the core libraries without --as-needed, so that
// ldd lists every library their link interface brings along.
int main() {
    return 0;
}
