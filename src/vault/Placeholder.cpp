// The vault layer starts here.
