// The user interface layer starts here.
