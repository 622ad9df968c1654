// Natives defined without the header that declares them: rejected too.
