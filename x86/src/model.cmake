# Sources of this area join the library's object library (qel_objs).
