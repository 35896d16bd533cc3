/* What each way of putting a finished file in place costs on a disk: the
 * sync and rename of a new file (no sync), and of a replacement with fsync,
 * fdatasync, fsync and a folder fsync, or no sync at all. Every round runs
 * each way once, in rotating order; medians and quartiles per way.
 *
 *   gcc -O2 -o /tmp/sync-variants bench/sync-variants.c
 *   /tmp/sync-variants FOLDER BYTES ROUNDS      e.g. /work/x 100000 60
 *
 * Two at once: start two with different folders on the same disk.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
static double now(void){struct timespec t;clock_gettime(CLOCK_MONOTONIC,&t);return t.tv_sec+t.tv_nsec/1e9;}
static int cmp(const void*a,const void*b){double x=*(double*)a,y=*(double*)b;return x<y?-1:x>y;}
/* modes: 0 new file no sync; 1 replace fsync+rename; 2 replace fdatasync+rename; 3 replace fsync+rename+dirfsync; 4 replace no sync */
int main(int argc,char**argv){
  const char*dir=argv[1]; long size=atol(argv[2]); int reps=atoi(argv[3]);
  const int M=5; double *t[5]; for(int m=0;m<M;m++) t[m]=calloc(reps,sizeof(double));
  char*buf=malloc(1<<20); memset(buf,'x',1<<20);
  for(int r=0;r<reps;r++){
    for(int k=0;k<M;k++){
      int m=(k+r)%M;
      char tmp[512],dst[512]; snprintf(tmp,sizeof tmp,"%s/.~gwbench%d.tmp",dir,m); snprintf(dst,sizeof dst,"%s/target%d.txt",dir,m);
      if(m==0) unlink(dst);
      else if(access(dst,F_OK)!=0){int f=open(dst,O_WRONLY|O_CREAT,0644);write(f,"x",1);close(f);}
      int fd=open(tmp,O_WRONLY|O_CREAT|O_EXCL|O_CLOEXEC,0666);
      for(long d=0;d<size;d+=1<<20) write(fd,buf,(size-d)<(1<<20)?(size-d):(1<<20));
      double t1=now();
      if(m==1||m==3) fsync(fd);
      if(m==2) fdatasync(fd);
      if(m==0) renameat2(AT_FDCWD,tmp,AT_FDCWD,dst,RENAME_NOREPLACE); else rename(tmp,dst);
      close(fd);
      if(m==3){int d=open(dir,O_RDONLY|O_DIRECTORY);fsync(d);close(d);}
      t[m][r]=now()-t1;
    }
  }
  const char*names[]={"new file, no sync","replace: fsync","replace: fdatasync","replace: fsync + folder fsync","replace: no sync"};
  for(int m=0;m<M;m++){qsort(t[m],reps,sizeof(double),cmp);printf("%-32s median %6.2f ms  (q1 %.2f, q3 %.2f)\n",names[m],t[m][reps/2]*1e3,t[m][reps/4]*1e3,t[m][3*reps/4]*1e3);}
}
