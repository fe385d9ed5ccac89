int probePlaceholderProbe;
int main() { return 0; }
